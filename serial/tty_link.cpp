#include "serial/tty_link.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace relay {

bool TtyLink::make(const QString& link_path, const QString& tty_path, QString* error) {
    remove();
    const QFileInfo link(link_path);
    if (link.isSymLink()) {
        QFile::remove(link.filePath());
    } else if (link.exists()) {
        *error = QStringLiteral("%1 exists and is not a symbolic link").arg(link.filePath());
        return false;
    }
    QDir().mkpath(link.absolutePath());
    const QString target = QFileInfo(tty_path).absoluteFilePath();
    if (!QFile::link(target, link.filePath())) {
        *error = QStringLiteral("cannot make the link %1").arg(link.filePath());
        return false;
    }
    m_path = link.filePath();
    m_target = target;
    return true;
}

void TtyLink::remove() {
    if (m_target.isEmpty()) {
        return;
    }
    const QFileInfo link(m_path);
    if (link.isSymLink() && link.symLinkTarget() == m_target) {
        QFile::remove(link.filePath());
    }
    m_target.clear();
}

}  // namespace relay
