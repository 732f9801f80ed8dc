#include "names/profile_cache.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <chrono>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace relay {

namespace {

// The read buffer of the Windows call holds 255 bytes, one of them the NUL.
constexpr qsizetype MaxValueBytes = 254;

std::int64_t wall_clock_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The stamp of the file at path; *is_file tells whether a file is there.
std::optional<FileStamp> stamp_of(const QString& path, bool* is_file) {
#ifdef Q_OS_UNIX
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0) {
        *is_file = false;
        return std::nullopt;
    }
    *is_file = S_ISREG(status.st_mode);
    const auto ns = [](const timespec& time) {
        return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
    };
    return FileStamp{
        static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
        static_cast<std::int64_t>(status.st_size), ns(status.st_mtim), ns(status.st_ctim)};
#else
    // Without inode and change time there is no stamp: bytes are compared.
    *is_file = QFileInfo(path).isFile();
    return std::nullopt;
#endif
}

}  // namespace

bool FileStamp::operator==(const FileStamp& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           modified_ns == other.modified_ns && changed_ns == other.changed_ns;
}

bool ProfileCache::stamp_proves_unchanged(const std::optional<FileStamp>& before,
                                          const std::optional<FileStamp>& now,
                                          std::int64_t read_ns) {
    // A time ahead of the read (a skewed clock) never proves anything.
    return before && now && *before == *now &&
           std::max(before->modified_ns, before->changed_ns) + FreshNanoseconds < read_ns;
}

void ProfileCache::forget() {
    m_document.reset();
    m_values.clear();
    m_bytes.clear();
    m_stamp.reset();
}

ProfileCache::Look ProfileCache::look(const QString& path) {
    bool is_file = false;
    // Taken before the read: an edit during the read then shows as a new stamp.
    const std::optional<FileStamp> stamp = stamp_of(path, &is_file);
    if (!is_file) {
        forget();
        return {Look::Outcome::Missing, QString()};
    }
    if (m_document && path == m_path && stamp_proves_unchanged(m_stamp, stamp, m_read_ns)) {
        return {Look::Outcome::Parsed, QString()};
    }
    const std::int64_t read_ns = wall_clock_ns();
    QFile file(path);
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly)) {
        bytes = file.readAll();
    }
    if (!file.isOpen() || file.error() != QFileDevice::NoError) {
        forget();
        return {Look::Outcome::Unreadable, file.errorString()};
    }
    ++m_reads;
    if (!m_document || path != m_path || bytes != m_bytes) {
        m_bytes = std::move(bytes);
        m_document = std::make_unique<IniDocument>(m_bytes, m_codec);
        m_values.clear();
        ++m_parses;
    }
    m_path = path;
    m_stamp = stamp;
    m_read_ns = read_ns;
    return {Look::Outcome::Parsed, QString()};
}

QString ProfileCache::value(const QString& section, const QString& key) {
    const std::pair<QString, QString> asked(section, key);
    if (const auto known = m_values.constFind(asked); known != m_values.cend()) {
        return *known;
    }
    QString result;
    if (const std::optional<QByteArray> stored = m_document->value(section, key)) {
        QByteArrayView value(*stored);
        if (const qsizetype nul = value.indexOf('\0'); nul >= 0) {
            value = value.first(nul);
        }
        result = m_codec.decode(GbkCodec::cut(value, MaxValueBytes));
    }
    m_values.insert(asked, result);
    return result;
}

}  // namespace relay
