#include "web/web_users.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

#include <sodium.h>
#include <unistd.h>

namespace relay {

namespace {

const QByteArray KeyLine = QByteArrayLiteral("@session-key ");
const QFileDevice::Permissions OwnerAndGroup = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ReadGroup | QFileDevice::WriteGroup;

bool sodium_ready() {
    static const bool ready = sodium_init() >= 0;
    return ready;
}

QByteArray random_key() {
    QByteArray key(32, '\0');
    randombytes_buf(key.data(), static_cast<std::size_t>(key.size()));
    return key;
}

}  // namespace

QString role_name(WebRole role) {
    return role == WebRole::Operator ? QStringLiteral("operator") : QStringLiteral("viewer");
}

std::optional<WebRole> role_of(const QString& name) {
    if (name == QLatin1String("operator")) {
        return WebRole::Operator;
    }
    if (name == QLatin1String("viewer")) {
        return WebRole::Viewer;
    }
    return std::nullopt;
}

bool WebUsers::valid_name(const QString& name) {
    static const QRegularExpression allowed(QStringLiteral("^[\\w.@-]{1,64}$"),
                                            QRegularExpression::UseUnicodePropertiesOption);
    return allowed.match(name).hasMatch();
}

bool WebUsers::load(const QString& path, QString* error) {
    m_path = path;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the users file %1: %2").arg(path, file.errorString());
        return false;
    }
    m_modified = QFileInfo(path).lastModified();
    std::map<QString, WebUser> users;
    QByteArray key;
    int number = 0;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        ++number;
        if (line.isEmpty() || line.startsWith('#')) {
            continue;
        }
        if (line.startsWith(KeyLine)) {
            key = QByteArray::fromBase64(line.mid(KeyLine.size()));
            continue;
        }
        const QList<QByteArray> fields = line.simplified().split(' ');
        const QString name = QString::fromUtf8(fields.value(0));
        const auto role = role_of(QString::fromUtf8(fields.value(1)));
        if (fields.size() != 3 || !valid_name(name) || !role ||
            !fields[2].startsWith("$argon2id$")) {
            *error = QStringLiteral(
                         "%1:%2: not \"NAME operator|viewer HASH\" (relayd "
                         "--add-user writes it)")
                         .arg(path)
                         .arg(number);
            return false;
        }
        users[name] = WebUser{name, *role, fields[2]};
    }
    m_users = std::move(users);
    m_session_key = key.size() >= 32 ? key : QByteArray();
    return true;
}

void WebUsers::refresh() {
    if (m_path.isEmpty() || QFileInfo(m_path).lastModified() == m_modified) {
        return;
    }
    QString error;
    WebUsers fresh;
    // A file half-written by an editor keeps the users that were read before.
    if (fresh.load(m_path, &error)) {
        *this = std::move(fresh);
    }
}

const WebUser* WebUsers::find(const QString& name) const {
    const auto it = m_users.find(name);
    return it == m_users.end() ? nullptr : &it->second;
}

QByteArray WebUsers::hash_password(const QByteArray& password) {
    char hash[crypto_pwhash_STRBYTES] = {};
    if (!sodium_ready() || crypto_pwhash_str(hash, password.constData(),
                                             static_cast<unsigned long long>(password.size()),
                                             crypto_pwhash_OPSLIMIT_INTERACTIVE,
                                             crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
        return QByteArray();
    }
    return QByteArray(hash);
}

bool WebUsers::verify_password(const QByteArray& hash, const QByteArray& password) {
    return sodium_ready() && !hash.isEmpty() &&
           crypto_pwhash_str_verify(hash.constData(), password.constData(),
                                    static_cast<unsigned long long>(password.size())) == 0;
}

bool WebUsers::add_user(const QString& path, const QString& name, WebRole role,
                        const QByteArray& password, QString* error) {
    if (!valid_name(name)) {
        *error = QStringLiteral("a user name is 1 to 64 letters, digits, '.', '_', '@' or '-'");
        return false;
    }
    QByteArray text;
    if (QFile::exists(path)) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
            return false;
        }
        text = file.readAll();
    }
    if (!text.contains(KeyLine)) {
        if (!sodium_ready()) {
            *error = QStringLiteral("no source of random numbers");
            return false;
        }
        text.prepend("# relayd web users: NAME ROLE HASH, one a line (relayd --add-user)\n" +
                     KeyLine + random_key().toBase64() + '\n');
    }
    const QByteArray hash = hash_password(password);
    if (hash.isEmpty()) {
        *error = QStringLiteral("the password could not be hashed");
        return false;
    }
    QByteArray kept;
    for (const QByteArray& line : text.split('\n')) {
        if (!line.isEmpty() && line.simplified().split(' ').value(0) != name.toUtf8()) {
            kept += line + '\n';
        }
    }
    kept += name.toUtf8() + ' ' + role_name(role).toUtf8() + ' ' + hash + '\n';
    // A file made for a service (root's, readable by the service's group)
    // keeps its group and mode; never readable by others. A new one is the
    // writer's alone.
    const QFileInfo before(path);
    const QFileDevice::Permissions mode =
        before.exists() ? (before.permissions() & OwnerAndGroup) | QFileDevice::WriteOwner
                        : QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(mode) ||
        file.write(kept) != kept.size() || !file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    if (before.exists() && before.groupId() != QFileInfo(path).groupId() &&
        ::chown(QFile::encodeName(path).constData(), static_cast<uid_t>(-1),
                static_cast<gid_t>(before.groupId())) != 0) {
        *error = QStringLiteral("%1 written, but its group %2 could not be kept")
                     .arg(path, before.group());
        return false;
    }
    return true;
}

}  // namespace relay
