#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <map>
#include <optional>

namespace relay {

enum class WebRole { Viewer, Operator };

QString role_name(WebRole role);
std::optional<WebRole> role_of(const QString& name);

struct WebUser {
    QString name;
    WebRole role = WebRole::Viewer;
    QByteArray hash;  // Argon2id, libsodium's string form
};

// The web's users: a text file, one "NAME ROLE HASH" a line, and the key that
// signs session cookies ("@session-key KEY"), so that a restart keeps people
// logged in. Passwords are stored only as salted Argon2id hashes.
class WebUsers {
public:
    // Reads the file; false and why when it cannot be read or a line is wrong.
    bool load(const QString& path, QString* error);
    // Reads it again if it changed since (a user added while relayd runs).
    void refresh();

    bool empty() const { return m_users.empty(); }
    const WebUser* find(const QString& name) const;
    // Empty when the file has none: cookies then last until relayd stops.
    const QByteArray& session_key() const { return m_session_key; }

    // Slow on purpose (about 0.1 s, 64 MiB): never on the event loop.
    static QByteArray hash_password(const QByteArray& password);
    static bool verify_password(const QByteArray& hash, const QByteArray& password);

    // Adds the user or replaces its role and password; creates the file
    // (readable by its owner only) with a session key.
    static bool add_user(const QString& path, const QString& name, WebRole role,
                         const QByteArray& password, QString* error);
    static bool valid_name(const QString& name);

private:
    QString m_path;
    QDateTime m_modified;
    std::map<QString, WebUser> m_users;
    QByteArray m_session_key;
};

}  // namespace relay
