#include "web/web_auth.h"

#include <QDateTime>
#include <QList>
#include <QMetaObject>

#include <sodium.h>

#include <algorithm>

namespace relay {

namespace {

constexpr const char* CookieName = "relayd_session";
// Checks queued behind the one running; more are refused at once.
constexpr int MostWaiting = 8;
// Addresses remembered as slowed; the oldest go first when there are more.
constexpr int MostSlowed = 4096;
constexpr int MostRemembered = 256;

QByteArray random_bytes(int size) {
    QByteArray bytes(size, '\0');
    if (sodium_init() >= 0) {
        randombytes_buf(bytes.data(), static_cast<std::size_t>(size));
    }
    return bytes;
}

QByteArray base64url(const QByteArray& bytes) {
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

}  // namespace

WebAuth::WebAuth(QObject* parent)
    : QObject(parent), m_key(random_bytes(32)), m_pepper(random_bytes(32)) {
    m_clock.start();
    m_checks.setMaxThreadCount(1);  // each check takes 64 MiB for a moment
}

WebAuth::~WebAuth() {
    m_checks.waitForDone();
}

bool WebAuth::load_users(const QString& path, QString* error) {
    if (!m_users.load(path, error)) {
        return false;
    }
    m_required = true;
    if (!m_users.session_key().isEmpty()) {
        m_key = m_users.session_key();
    }
    return true;
}

QByteArray WebAuth::token_mac(const QString& user, qint64 expiry) const {
    const WebUser* known = m_users.find(user);
    // The hash is part of it: a new password ends the sessions of the old one.
    const QByteArray message = user.toUtf8() + '\n' + QByteArray::number(expiry) + '\n' +
                               (known ? known->hash : QByteArray());
    QByteArray mac(crypto_auth_hmacsha256_BYTES, '\0');
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, reinterpret_cast<const unsigned char*>(m_key.constData()),
                                static_cast<std::size_t>(m_key.size()));
    crypto_auth_hmacsha256_update(&state,
                                  reinterpret_cast<const unsigned char*>(message.constData()),
                                  static_cast<unsigned long long>(message.size()));
    crypto_auth_hmacsha256_final(&state, reinterpret_cast<unsigned char*>(mac.data()));
    return mac;
}

QByteArray WebAuth::session_token(const QByteArray& cookies) {
    for (const QByteArray& cookie : cookies.split(';')) {
        const QByteArray pair = cookie.trimmed();
        if (pair.startsWith(QByteArray(CookieName) + '=')) {
            return pair.mid(static_cast<qsizetype>(qstrlen(CookieName)) + 1);
        }
    }
    return QByteArray();
}

std::optional<WebIdentity> WebAuth::identify(const QByteArray& cookies,
                                             const QByteArray& authorization) {
    if (!m_required) {
        return WebIdentity{QString(), WebRole::Operator};
    }
    m_users.refresh();
    const QByteArray token = session_token(cookies);
    const QList<QByteArray> parts = token.split('.');
    if (parts.size() == 3 && !m_revoked.contains(token)) {
        const QString user =
            QString::fromUtf8(QByteArray::fromBase64(parts[0], QByteArray::Base64UrlEncoding));
        const qint64 expiry = parts[1].toLongLong();
        const QByteArray mac = QByteArray::fromBase64(parts[2], QByteArray::Base64UrlEncoding);
        const WebUser* known = m_users.find(user);
        const QByteArray expected = token_mac(user, expiry);
        if (known && expiry > QDateTime::currentSecsSinceEpoch() && mac.size() == expected.size() &&
            sodium_memcmp(mac.constData(), expected.constData(),
                          static_cast<std::size_t>(mac.size())) == 0) {
            return WebIdentity{user, known->role};
        }
    }
    if (const auto credentials = basic(authorization)) {
        const auto it = m_basic.constFind(basic_key(credentials->first, credentials->second));
        const WebUser* known = m_users.find(credentials->first);
        if (it != m_basic.constEnd() && it->until_ms > m_clock.elapsed() && known) {
            return WebIdentity{known->name, known->role};
        }
    }
    return std::nullopt;
}

std::optional<std::pair<QString, QByteArray>> WebAuth::basic(const QByteArray& authorization) {
    if (!authorization.startsWith("Basic ")) {
        return std::nullopt;
    }
    const QByteArray decoded = QByteArray::fromBase64(authorization.mid(6).trimmed());
    const qsizetype colon = decoded.indexOf(':');
    if (colon < 0) {
        return std::nullopt;
    }
    return std::make_pair(QString::fromUtf8(decoded.left(colon)), decoded.mid(colon + 1));
}

QByteArray WebAuth::basic_key(const QString& user, const QByteArray& password) const {
    QByteArray key(crypto_generichash_BYTES, '\0');
    const QByteArray message = user.toUtf8() + '\0' + password;
    crypto_generichash(reinterpret_cast<unsigned char*>(key.data()), crypto_generichash_BYTES,
                       reinterpret_cast<const unsigned char*>(message.constData()),
                       static_cast<unsigned long long>(message.size()),
                       reinterpret_cast<const unsigned char*>(m_pepper.constData()),
                       static_cast<std::size_t>(m_pepper.size()));
    return key;
}

int WebAuth::retry_after(const QHostAddress& from) {
    const auto it = m_slowed.constFind(from.toString());
    if (it == m_slowed.constEnd()) {
        return 0;
    }
    const qint64 left = it->until_ms - m_clock.elapsed();
    return left > 0 ? static_cast<int>((left + 999) / 1000) : 0;
}

void WebAuth::failed(const QHostAddress& from) {
    if (m_slowed.size() >= MostSlowed) {
        const auto oldest = std::min_element(
            m_slowed.begin(), m_slowed.end(),
            [](const Slowed& a, const Slowed& b) { return a.until_ms < b.until_ms; });
        m_slowed.erase(oldest);
    }
    Slowed& slowed = m_slowed[from.toString()];
    ++slowed.failures;
    // 1 s after the first failure, doubling, at most a minute.
    const int wait_s = std::min(1 << std::min(slowed.failures - 1, 6), LongestWaitS);
    slowed.until_ms = m_clock.elapsed() + wait_s * 1000;
}

bool WebAuth::check_password(const QString& user, const QByteArray& password,
                             const QHostAddress& from,
                             std::function<void(std::optional<WebIdentity>)> done) {
    if (m_waiting >= MostWaiting) {
        return false;
    }
    m_users.refresh();
    const WebUser* known = m_users.find(user);
    const QByteArray hash = known ? known->hash : QByteArray();
    ++m_waiting;
    m_checks.start([this, hash, password, user, from, done = std::move(done)] {
        // An unknown user costs the same time as a known one: no hint which exist.
        static const QByteArray decoy = WebUsers::hash_password(random_bytes(16));
        const bool right =
            WebUsers::verify_password(hash.isEmpty() ? decoy : hash, password) && !hash.isEmpty();
        QMetaObject::invokeMethod(
            this,
            [this, right, user, password, from, done] {
                --m_waiting;
                const WebUser* known = m_users.find(user);
                if (!right || !known) {
                    failed(from);
                    done(std::nullopt);
                    return;
                }
                m_slowed.remove(from.toString());
                if (m_basic.size() >= MostRemembered) {
                    m_basic.clear();
                }
                m_basic.insert(basic_key(user, password), {WebIdentity{known->name, known->role},
                                                           m_clock.elapsed() + BasicMemoryMs});
                done(WebIdentity{known->name, known->role});
            },
            Qt::QueuedConnection);
    });
    return true;
}

QByteArray WebAuth::session_cookie(const WebIdentity& identity, bool secure) const {
    const qint64 expiry = QDateTime::currentSecsSinceEpoch() + SessionSeconds;
    const QByteArray token = base64url(identity.user.toUtf8()) + '.' + QByteArray::number(expiry) +
                             '.' + base64url(token_mac(identity.user, expiry));
    return QByteArray(CookieName) + '=' + token +
           "; Path=/; Max-Age=" + QByteArray::number(SessionSeconds) +
           "; HttpOnly; SameSite=Strict" + (secure ? "; Secure" : "");
}

QByteArray WebAuth::cleared_cookie(bool secure) const {
    return QByteArray(CookieName) + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict" +
           (secure ? "; Secure" : "");
}

void WebAuth::revoke(const QByteArray& cookies) {
    const QByteArray token = session_token(cookies);
    if (!token.isEmpty() && m_revoked.size() < 65536) {
        m_revoked.insert(token);
    }
}

}  // namespace relay
