#pragma once

#include "names/gbk_codec.h"
#include "names/ini_document.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

namespace relay {

// What the file system says of a file: who it is, how long, when last touched.
struct FileStamp {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modified_ns = 0;
    std::int64_t changed_ns = 0;
    bool operator==(const FileStamp& other) const;
};

// The last profile file read, kept parsed while it is unchanged. Every look
// still asks the file system, so an edit made outside the program is seen at
// once; only reading and parsing an unchanged file again is skipped.
class ProfileCache {
public:
    // FAT keeps times to 2 s; other local file systems are far finer.
    static constexpr std::int64_t FreshNanoseconds = 2'000'000'000;

    struct Look {
        enum class Outcome { Missing, Unreadable, Parsed };
        Outcome outcome = Outcome::Missing;
        QString error;  // why an existing file could not be read
    };

    // The file at path as it is now. Missing when no file is there (a
    // directory does not count).
    Look look(const QString& path);

    // The platform read from the file of the last parsed look: the value of key
    // in section, cut to at most 254 GBK bytes (never inside a double-byte
    // character) and before any NUL; "" when missing.
    QString value(const QString& section, const QString& key);

    // True when the stamp shows that a file read at read_ns with the stamp
    // `before` still holds those bytes. An edit within one tick of the file
    // system's clock may leave the stamp as it was, so a stamp proves nothing
    // until the file's times lie FreshNanoseconds before the read.
    static bool stamp_proves_unchanged(const std::optional<FileStamp>& before,
                                       const std::optional<FileStamp>& now, std::int64_t read_ns);

    // How often the file was read and parsed, for tests.
    int reads() const { return m_reads; }
    int parses() const { return m_parses; }

private:
    void forget();

    GbkCodec m_codec;
    QString m_path;
    std::optional<FileStamp> m_stamp;
    std::int64_t m_read_ns = 0;  // wall clock just before the bytes were last read
    QByteArray m_bytes;
    std::unique_ptr<IniDocument> m_document;
    QHash<std::pair<QString, QString>, QString> m_values;  // read from m_document
    int m_reads = 0;
    int m_parses = 0;
};

}  // namespace relay
