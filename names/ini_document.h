#pragma once

#include "names/gbk_codec.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringView>

#include <cstddef>
#include <optional>
#include <vector>

namespace relay {

// A line of a profile file within its bytes: its text runs from where it
// begins to text_end, the first CR or LF; it ends in CR LF, LF, a lone CR or,
// at the end of the bytes, nothing. The next line begins at next.
struct ProfileLine {
    qsizetype text_end;
    qsizetype next;
};
ProfileLine profile_line_at(QByteArrayView bytes, qsizetype begin);

// One INI-style profile file held in memory as its GBK bytes, read and edited
// the way the Windows profile calls do:
// - section and key names match without regard to letter case, on decoded text;
// - blanks (tab, LF, VT, FF, CR, space, 0x1A) are trimmed around lines, inside
//   "[ ]", around key names and around values;
// - a line whose first non-blank character is "[" is a section header; the
//   section name runs to the last "]" of the line; other non-blank lines are
//   keys, the name before the first "=" (a line without one has no value);
// - the first section and the first key of a name win;
// - one pair of matching quotes (" or ') around a value is removed on read.
// An edit changes only the line it writes: every other line keeps its bytes and
// its ending (CR LF, LF or CR). Lines that it writes end in CR LF.
// A section is split into lines only when it is looked into or edited.
class IniDocument {
public:
    IniDocument(const QByteArray& bytes, const GbkCodec& codec);
    IniDocument(const IniDocument&) = delete;
    IniDocument& operator=(const IniDocument&) = delete;

    // The stored bytes of the value, trimmed and unquoted; nothing when the
    // section or the key is missing.
    std::optional<QByteArray> value(QStringView section, QStringView key);

    // Replaces the value of the key where it stands; a missing key is added
    // after the last non-blank line of its section, a missing section at the end
    // of the file as its header line and the key line. A value that begins or
    // ends with a blank or a quote mark is written inside double quotes, so that
    // it reads back as given. Returns false, and changes nothing, when one of
    // the texts cannot stand in the file (see line_text_problem) or the key
    // name holds "=" or begins with "[".
    bool set_value(QStringView section, QStringView key, QStringView value);

    // Rewrites the header line of the section (as the reader finds it) to
    // exactly "[" + section + "]", keeping its line ending. False when the
    // section is missing or its name cannot stand in the file.
    bool make_header_exact(QStringView section);

    QByteArray to_bytes() const;

    // Why text cannot stand in a line of a profile file ("" when it can): a
    // line break or NUL would split or cut the line, and GBK may lack a character.
    static QString line_text_problem(const GbkCodec& codec, QStringView text);

private:
    struct Line {
        QByteArray text;    // without its ending
        QByteArray ending;  // "\r\n", "\n", "\r", or "" for a last line without one
    };
    // The first position of each name among the first `scanned` items.
    struct NameIndex {
        QHash<QString, std::size_t> first;
        std::size_t scanned = 1;  // item 0 (a header, or the lines before any) has no name
    };
    struct Section {
        Section() = default;
        Section(qsizetype begin, qsizetype end) : begin(begin), end(end) {}

        qsizetype begin = 0;  // its bytes in m_bytes, the header line first;
        qsizetype end = 0;    // unused once split
        bool split = false;
        std::vector<Line> lines;
        NameIndex keys;
    };

    std::vector<Line>& lines_of(Section& section);
    std::optional<std::size_t> find_section(const QString& folded_name);
    std::optional<std::size_t> find_key(Section& section, const QString& folded_name);
    QString folded(QStringView name) const;
    QString section_name(const Section& section) const;
    std::optional<QString> key_name(const Line& line) const;
    std::optional<QByteArray> line_bytes(QStringView text) const;
    void end_last_line();

    const QByteArray m_bytes;  // lines that are never written stay views of it
    const GbkCodec& m_codec;
    std::vector<Section> m_sections;  // [0]: the lines before the first header
    NameIndex m_section_index;
};

}  // namespace relay
