#include "names/name_location.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace relay {

namespace {

bool can_write(const QString& path) {
    return QFileInfo(path).isWritable();
}

}  // namespace

QString name_directory_for(const QString& program_directory, const QString& fallback_directory,
                           const std::function<bool(const QString&)>& writable) {
    const auto may_write = writable ? writable : can_write;
    const QString beside = program_directory + QStringLiteral("/name.txt");
    const bool present = QFileInfo::exists(beside);
    // A save replaces the file, so it needs the folder as well as the file.
    if (may_write(program_directory) && (!present || may_write(beside))) {
        return program_directory;
    }
    const QString kept = fallback_directory + QStringLiteral("/name.txt");
    QDir().mkpath(fallback_directory);
    if (present && !QFileInfo::exists(kept)) {
        QFile::copy(beside, kept);
        QFile::setPermissions(kept, QFile::permissions(kept) | QFileDevice::WriteOwner);
    }
    return fallback_directory;
}

QString user_name_directory() {
    const QString xdg = qEnvironmentVariable("XDG_DATA_HOME");
    const QString base = QDir::isAbsolutePath(xdg) ? xdg : QDir::homePath() + "/.local/share";
    return QDir::cleanPath(base + QStringLiteral("/relay-panel"));
}

}  // namespace relay
