#include "relayd/state_directory.h"

#include "names/whole_file.h"

#include <QDir>

namespace relay {

StateDirectory::StateDirectory(QString path) : m_path(std::move(path)) {}

QString StateDirectory::resolve(const QString& given) {
    if (!given.isEmpty()) {
        return QDir::cleanPath(QDir::current().absoluteFilePath(given));
    }
    const QString systemd = qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    if (!systemd.isEmpty()) {
        return QDir::cleanPath(systemd);
    }
    // The XDG rule: a relative value is to be ignored.
    const QString xdg = qEnvironmentVariable("XDG_STATE_HOME");
    const QString base = QDir::isAbsolutePath(xdg) ? xdg : QDir::homePath() + "/.local/state";
    return QDir::cleanPath(base + QStringLiteral("/relayd"));
}

QString StateDirectory::file_path(const QString& name) const {
    return m_path + QLatin1Char('/') + name;
}

std::optional<QByteArray> StateDirectory::read(const QString& name) const {
    QString ignored;
    return read_whole_file(file_path(name), &ignored);
}

bool StateDirectory::write(const QString& name, const QByteArray& bytes, QString* error) const {
    if (!QDir().mkpath(m_path)) {
        *error = QStringLiteral("cannot make the directory %1").arg(m_path);
        return false;
    }
    bool short_write = false;
    if (replace_whole_file(file_path(name), bytes, error, &short_write)) {
        return true;
    }
    if (short_write && error->isEmpty()) {
        *error = QStringLiteral("the write stopped short (the disk may be full)");
    }
    return false;
}

}  // namespace relay
