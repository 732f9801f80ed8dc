#include "names/ini_document.h"

#include <algorithm>
#include <cstring>

namespace relay {

namespace {

const QByteArray LineEnd = QByteArrayLiteral("\r\n");

constexpr bool is_blank(char16_t c) {
    return c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r' || c == u' ' ||
           c == u'\x1a';
}
bool is_blank_byte(char c) {
    return is_blank(static_cast<unsigned char>(c));
}
bool is_quote_byte(char c) {
    return c == '"' || c == '\'';
}

// Blank bytes are all below 0x40, so they are never the second byte of a GBK
// character and bytes can be trimmed without decoding. The same holds for "=",
// the quote marks and the line-end bytes, but not for "[" and "]".
QByteArrayView trimmed_bytes(QByteArrayView bytes) {
    while (!bytes.isEmpty() && is_blank_byte(bytes.front())) {
        bytes = bytes.sliced(1);
    }
    while (!bytes.isEmpty() && is_blank_byte(bytes.back())) {
        bytes.chop(1);
    }
    return bytes;
}

QStringView trimmed_text(QStringView text) {
    while (!text.isEmpty() && is_blank(text.front().unicode())) {
        text = text.sliced(1);
    }
    while (!text.isEmpty() && is_blank(text.back().unicode())) {
        text.chop(1);
    }
    return text;
}

// The shared ending bytes of a line: CR LF, LF, CR or none.
QByteArray shared_ending(QByteArrayView ending) {
    static const QByteArray Lf = QByteArrayLiteral("\n");
    static const QByteArray Cr = QByteArrayLiteral("\r");
    if (ending.isEmpty()) {
        return QByteArray();
    }
    return ending.size() == 2 ? LineEnd : ending.front() == '\n' ? Lf : Cr;
}

bool has_line_break_or_nul(QStringView text) {
    return text.contains(u'\r') || text.contains(u'\n') || text.contains(QChar(u'\0'));
}

// The first position whose name (nullopt: no name) is `name`; names seen on the
// way are remembered, the first of each kept.
template <typename NameOf>
std::optional<std::size_t> find_first(QHash<QString, std::size_t>& first, std::size_t& scanned,
                                      std::size_t count, const QString& name, NameOf name_of) {
    if (const auto found = first.constFind(name); found != first.cend()) {
        return *found;
    }
    while (scanned < count) {
        const std::size_t position = scanned++;
        if (const std::optional<QString> candidate = name_of(position)) {
            if (!first.contains(*candidate)) {
                first.insert(*candidate, position);
            }
            if (*candidate == name) {
                return position;
            }
        }
    }
    return std::nullopt;
}

}  // namespace

ProfileLine profile_line_at(QByteArrayView bytes, qsizetype begin) {
    const char* const data = bytes.data();
    const qsizetype size = bytes.size();
    const qsizetype end =
        std::find_if(data + begin, data + size, [](char c) { return c == '\r' || c == '\n'; }) -
        data;
    if (end == size) {
        return {end, end};
    }
    return {end, data[end] == '\r' && end + 1 < size && data[end + 1] == '\n' ? end + 2 : end + 1};
}

IniDocument::IniDocument(const QByteArray& bytes, const GbkCodec& codec)
    : m_bytes(bytes), m_codec(codec) {
    // Only the header lines are found here: each "[" that is the first
    // non-blank byte of its line begins a section.
    const char* const data = m_bytes.constData();
    const qsizetype size = m_bytes.size();
    m_sections.emplace_back(0, size);
    for (const char* bracket = data;
         (bracket = static_cast<const char*>(std::memchr(bracket, '[', data + size - bracket)));
         ++bracket) {
        const char* line = bracket;
        while (line > data && line[-1] != '\r' && line[-1] != '\n' && is_blank_byte(line[-1])) {
            --line;
        }
        if (line == data || line[-1] == '\r' || line[-1] == '\n') {
            m_sections.back().end = line - data;
            m_sections.emplace_back(line - data, size);
        }
    }
}

std::vector<IniDocument::Line>& IniDocument::lines_of(Section& section) {
    if (!section.split) {
        for (qsizetype begin = section.begin; begin < section.end;) {
            const ProfileLine span = profile_line_at(m_bytes, begin);
            section.lines.push_back(
                {QByteArray::fromRawData(m_bytes.constData() + begin, span.text_end - begin),
                 shared_ending(
                     QByteArrayView(m_bytes).sliced(span.text_end, span.next - span.text_end))});
            begin = span.next;
        }
        section.split = true;
    }
    return section.lines;
}

QString IniDocument::folded(QStringView name) const {
    return trimmed_text(name).toString().toCaseFolded();
}

QString IniDocument::section_name(const Section& section) const {
    const QByteArrayView header =
        section.split
            ? QByteArrayView(section.lines.front().text)
            : QByteArrayView(m_bytes).sliced(
                  section.begin, profile_line_at(m_bytes, section.begin).text_end - section.begin);
    const QByteArrayView text = trimmed_bytes(header);
    const QString decoded = m_codec.decode(text.sliced(1));
    const qsizetype close = decoded.lastIndexOf(u']');
    return folded(close < 0 ? QStringView(decoded) : QStringView(decoded).first(close));
}

std::optional<QString> IniDocument::key_name(const Line& line) const {
    // A line without "=" is a key without a value to the Windows calls: it
    // hides a later line of the same name.
    const qsizetype equals = line.text.indexOf('=');
    const QByteArrayView name =
        trimmed_bytes(QByteArrayView(line.text).first(equals < 0 ? line.text.size() : equals));
    if (equals < 0 && name.isEmpty()) {
        return std::nullopt;
    }
    return folded(m_codec.decode(name));
}

std::optional<std::size_t> IniDocument::find_section(const QString& folded_name) {
    return find_first(
        m_section_index.first, m_section_index.scanned, m_sections.size(), folded_name,
        [this](std::size_t position) { return std::optional(section_name(m_sections[position])); });
}

std::optional<std::size_t> IniDocument::find_key(Section& section, const QString& folded_name) {
    const std::vector<Line>& lines = lines_of(section);
    return find_first(section.keys.first, section.keys.scanned, lines.size(), folded_name,
                      [&](std::size_t position) { return key_name(lines[position]); });
}

std::optional<QByteArray> IniDocument::value(QStringView section, QStringView key) {
    const std::optional<std::size_t> section_position = find_section(folded(section));
    if (!section_position) {
        return std::nullopt;
    }
    Section& found = m_sections[*section_position];
    const std::optional<std::size_t> key_position = find_key(found, folded(key));
    if (!key_position) {
        return std::nullopt;
    }
    const QByteArray& text = found.lines[*key_position].text;  // split by find_key
    if (!text.contains('=')) {
        return QByteArray();
    }
    QByteArrayView stored = trimmed_bytes(QByteArrayView(text).sliced(text.indexOf('=') + 1));
    if (stored.size() >= 2 && is_quote_byte(stored.front()) && stored.back() == stored.front()) {
        stored = stored.sliced(1, stored.size() - 2);
    }
    return stored.toByteArray();
}

std::optional<QByteArray> IniDocument::line_bytes(QStringView text) const {
    if (has_line_break_or_nul(text)) {
        return std::nullopt;
    }
    return m_codec.encode(text);
}

QString IniDocument::line_text_problem(const GbkCodec& codec, QStringView text) {
    if (has_line_break_or_nul(text)) {
        return QStringLiteral("含有换行符或空字符");
    }
    if (!codec.encode(text)) {
        return QStringLiteral("含有 GBK 编码无法表示的字符“%1”")
            .arg(codec.unencodable_characters(text));
    }
    return QString();
}

bool IniDocument::set_value(QStringView section, QStringView key, QStringView value) {
    section = trimmed_text(section);
    key = trimmed_text(key);
    const std::optional<QByteArray> section_bytes = line_bytes(section);
    const std::optional<QByteArray> key_bytes = line_bytes(key);
    std::optional<QByteArray> value_bytes = line_bytes(value);
    if (!section_bytes || !key_bytes || !value_bytes || key.contains(u'=') ||
        key.startsWith(u'[')) {
        return false;
    }
    QByteArray& stored = *value_bytes;
    if (!stored.isEmpty() && (is_blank_byte(stored.front()) || is_blank_byte(stored.back()) ||
                              is_quote_byte(stored.front()) || is_quote_byte(stored.back()))) {
        stored = '"' + stored + '"';
    }
    const QString section_folded = folded(section);
    const QString key_folded = folded(key);

    const std::optional<std::size_t> section_position = find_section(section_folded);
    if (!section_position) {
        end_last_line();
        Section& added = m_sections.emplace_back();
        added.split = true;
        added.lines.push_back({'[' + *section_bytes + ']', LineEnd});
        added.lines.push_back({*key_bytes + '=' + stored, LineEnd});
        added.keys.first.insert(key_folded, 1);
        added.keys.scanned = added.lines.size();
        m_section_index.first.insert(section_folded, m_sections.size() - 1);
        m_section_index.scanned = m_sections.size();
        return true;
    }

    Section& found = m_sections[*section_position];
    if (const std::optional<std::size_t> key_position = find_key(found, key_folded)) {
        Line& line = found.lines[*key_position];
        const qsizetype equals = line.text.indexOf('=');
        line.text = (equals < 0 ? line.text + '=' : line.text.first(equals + 1)) + stored;
        line.ending = LineEnd;
        return true;
    }
    // The key goes after the last non-blank line; blank lines stay before the
    // next section. Every line after that point is blank, so no key moves.
    std::size_t position = found.lines.size();
    while (position > 1 && trimmed_bytes(found.lines[position - 1].text).isEmpty()) {
        --position;
    }
    Line& before = found.lines[position - 1];
    if (before.ending.isEmpty()) {
        before.ending = LineEnd;
    }
    found.lines.insert(found.lines.begin() + static_cast<std::ptrdiff_t>(position),
                       Line{*key_bytes + '=' + stored, LineEnd});
    found.keys.first.insert(key_folded, position);
    found.keys.scanned = found.lines.size();
    return true;
}

bool IniDocument::make_header_exact(QStringView section) {
    section = trimmed_text(section);
    const std::optional<std::size_t> position = find_section(folded(section));
    const std::optional<QByteArray> name = line_bytes(section);
    if (!position || !name) {
        return false;
    }
    lines_of(m_sections[*position]).front().text = '[' + *name + ']';
    return true;
}

void IniDocument::end_last_line() {
    // Only the last section can hold the last line; it is empty only when the
    // whole file is.
    std::vector<Line>& lines = lines_of(m_sections.back());
    if (!lines.empty() && lines.back().ending.isEmpty()) {
        lines.back().ending = LineEnd;
    }
}

QByteArray IniDocument::to_bytes() const {
    qsizetype size = 0;
    for (const Section& section : m_sections) {
        if (!section.split) {
            size += section.end - section.begin;
        }
        for (const Line& line : section.lines) {
            size += line.text.size() + line.ending.size();
        }
    }
    QByteArray bytes;
    bytes.reserve(size);
    for (const Section& section : m_sections) {
        if (!section.split) {
            bytes += QByteArrayView(m_bytes).sliced(section.begin, section.end - section.begin);
        }
        for (const Line& line : section.lines) {
            bytes += line.text;
            bytes += line.ending;
        }
    }
    return bytes;
}

}  // namespace relay
