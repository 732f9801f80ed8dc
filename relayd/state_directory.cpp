#include "relayd/state_directory.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

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
    QFile file(file_path(name));
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        return std::nullopt;
    }
    return bytes;
}

bool StateDirectory::write(const QString& name, const QByteArray& bytes, QString* error) const {
    if (!QDir().mkpath(m_path)) {
        *error = QStringLiteral("cannot make the directory %1").arg(m_path);
        return false;
    }
    QSaveFile file(file_path(name));
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    // A short write (a full disk) must not be committed as the whole.
    if (file.write(bytes) != bytes.size()) {
        *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

}  // namespace relay
