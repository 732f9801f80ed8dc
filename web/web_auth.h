#pragma once

#include "web/web_users.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QThreadPool>

#include <functional>
#include <optional>

namespace relay {

struct WebIdentity {
    QString user;  // empty: open access on loopback
    WebRole role = WebRole::Viewer;
};

// Who is asking: session cookies signed with the users file's key, HTTP Basic
// for scripts, and failed logins slowed per client address. Passwords are
// checked on a thread of their own, never on the event loop.
class WebAuth : public QObject {
    Q_OBJECT
public:
    static constexpr int SessionSeconds = 7 * 24 * 3600;
    static constexpr int LongestWaitS = 60;
    // A verified Basic login is remembered this long, so a script's requests
    // do not each cost a slow hash.
    static constexpr int BasicMemoryMs = 5 * 60 * 1000;

    explicit WebAuth(QObject* parent = nullptr);
    ~WebAuth() override;

    // Without users everybody is an operator (relayd then listens on loopback only).
    bool load_users(const QString& path, QString* error);
    bool required() const { return m_required; }

    // From the session cookie or a remembered Basic login.
    std::optional<WebIdentity> identify(const QByteArray& cookies, const QByteArray& authorization);
    // "Basic ..." as user and password.
    static std::optional<std::pair<QString, QByteArray>> basic(const QByteArray& authorization);

    // Seconds before from may try again; 0 when it may now.
    int retry_after(const QHostAddress& from);
    // done on the event loop with the user, or nothing when refused (which
    // slows from down). False when too many checks are waiting already.
    bool check_password(const QString& user, const QByteArray& password, const QHostAddress& from,
                        std::function<void(std::optional<WebIdentity>)> done);

    // Set-Cookie values.
    QByteArray session_cookie(const WebIdentity& identity, bool secure) const;
    QByteArray cleared_cookie(bool secure) const;
    // Logged out: the cookie is not taken again.
    void revoke(const QByteArray& cookies);

private:
    struct Slowed {
        int failures = 0;
        qint64 until_ms = 0;
    };
    struct Remembered {
        WebIdentity identity;
        qint64 until_ms = 0;
    };

    QByteArray token_mac(const QString& user, qint64 expiry) const;
    static QByteArray session_token(const QByteArray& cookies);
    QByteArray basic_key(const QString& user, const QByteArray& password) const;
    void failed(const QHostAddress& from);

    WebUsers m_users;
    bool m_required = false;
    QByteArray m_key;
    QByteArray m_pepper;
    QElapsedTimer m_clock;
    QThreadPool m_checks;
    int m_waiting = 0;
    QHash<QString, Slowed> m_slowed;  // by client address
    QHash<QByteArray, Remembered> m_basic;
    QSet<QByteArray> m_revoked;
};

}  // namespace relay
