#include "mqtt/mqtt_client.h"

#include "mqtt/mosquitto_handle.h"
#include "mqtt/mqtt_socket.h"

#include <QDeadlineTimer>
#include <QTimer>

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace relay {

namespace {

constexpr int MinKeepaliveS = 5;

// libmosquitto's texts start upper case and end with a full stop; ours go
// after a colon.
QString as_clause(QString text) {
    text = text.trimmed();
    if (text.endsWith(QLatin1Char('.'))) {
        text.chop(1);
    }
    if (text.size() > 1 && text.at(0).isUpper() && !text.at(1).isUpper()) {
        text[0] = text.at(0).toLower();
    }
    return text;
}

QByteArray or_null(const QString& text) {
    return text.isEmpty() ? QByteArray() : text.toUtf8();
}

const char* c_str_or_null(const QByteArray& bytes) {
    return bytes.isEmpty() ? nullptr : bytes.constData();
}

}  // namespace

MqttClient::MqttClient(MqttSettings settings, QObject* parent)
    : QObject(parent),
      m_settings(std::move(settings)),
      m_handle(make_handle()),
      m_socket(new MqttSocket(this)),
      m_retry(new QTimer(this)) {
    connect(m_socket, &MqttSocket::io_done, this, &MqttClient::after_io);
    m_retry->setSingleShot(true);
    connect(m_retry, &QTimer::timeout, this, &MqttClient::attempt);
}

MqttClient::~MqttClient() {
    stop(0);
}

struct mosquitto* MqttClient::mosq() const {
    return m_handle ? m_handle->get() : nullptr;
}

std::shared_ptr<MosquittoHandle> MqttClient::make_handle() {
    auto handle = std::make_shared<MosquittoHandle>(or_null(m_settings.client_id));
    handle->set_message_sink(
        [this](const QString& topic, const QByteArray& payload, bool retained) {
            post([this, topic, payload, retained] {
                Q_EMIT message_received(topic, payload, retained);
            });
        });
    return handle;
}

void MqttClient::start() {
    if (m_running) {
        return;
    }
    m_running = true;
    m_retry_ms = FirstRetryMs;
    attempt();
}

void MqttClient::stop(int timeout_ms) {
    m_running = false;
    ++m_epoch;
    m_retry->stop();
    m_socket->unwatch();
    if (m_connecting) {
        // No waiting for the resolver: the call's thread keeps this handle
        // and destroys it when done; the next start() takes a new one.
        m_handle->abandon();
        m_handle.reset();
        m_connecting = false;
    }
    struct mosquitto* const client = mosq();
    if (client && mosquitto_socket(client) >= 0) {
        const QDeadlineTimer deadline(timeout_ms);
        MosquittoEvents& events = m_handle->events();
        // Every last publish (the offline states) confirmed first: a close with
        // unread acknowledgements resets the connection, and the broker drops
        // what it had not read yet.
        if (m_connected) {
            MqttSocket::exchange(client, deadline,
                                 [&events] { return events.unacknowledged <= 0; });
        }
        // DISCONNECT tells the broker to drop the will; then wait for its close.
        mosquitto_disconnect(client);
        MqttSocket::flush(client, deadline);
        MqttSocket::exchange(client, deadline, [client] { return mosquitto_socket(client) < 0; });
    }
    if (m_handle) {
        m_handle->events() = MosquittoEvents{};
    }
    m_connected = false;
}

bool MqttClient::publish(const QString& topic, const QByteArray& payload, bool retain) {
    if (!m_connected) {
        return false;
    }
    const int rc =
        mosquitto_publish(mosq(), nullptr, topic.toUtf8().constData(),
                          static_cast<int>(payload.size()), payload.constData(), 1, retain);
    if (rc == MOSQ_ERR_SUCCESS) {
        ++m_handle->events().unacknowledged;
    }
    after_io(MOSQ_ERR_SUCCESS, errno);
    return rc == MOSQ_ERR_SUCCESS;
}

bool MqttClient::subscribe(const QString& pattern) {
    if (!m_connected) {
        return false;
    }
    const int rc = mosquitto_subscribe(mosq(), nullptr, pattern.toUtf8().constData(), 1);
    after_io(MOSQ_ERR_SUCCESS, errno);
    return rc == MOSQ_ERR_SUCCESS;
}

template <typename F>
void MqttClient::post(F emit_later) {
    // Queued, so that no receiver runs inside libmosquitto or inside our own
    // bookkeeping, and nothing queued before stop() arrives after it.
    const quint64 epoch = m_epoch;
    QMetaObject::invokeMethod(
        this,
        [this, epoch, emit_later] {
            if (epoch == m_epoch) {
                emit_later();
            }
        },
        Qt::QueuedConnection);
}

bool MqttClient::configure() {
    struct mosquitto* const client = mosq();
    if (!client) {
        m_last_error = QStringLiteral("cannot create the MQTT client (is the client id valid?)");
        return false;
    }
    const int version = m_settings.protocol == 5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311;
    if (mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, version) != MOSQ_ERR_SUCCESS) {
        m_last_error = QStringLiteral("unsupported MQTT protocol version %1").arg(version);
        return false;
    }
    if (!m_settings.username.isEmpty()) {
        const QByteArray user = m_settings.username.toUtf8();
        const QByteArray password = or_null(m_settings.password);
        if (mosquitto_username_pw_set(client, user.constData(), c_str_or_null(password)) !=
            MOSQ_ERR_SUCCESS) {
            m_last_error = QStringLiteral("the user name is not valid UTF-8 or too long");
            return false;
        }
    }
    if (!m_settings.will_topic.isEmpty()) {
        const QByteArray topic = m_settings.will_topic.toUtf8();
        const QByteArray& payload = m_settings.will_payload;
        if (mosquitto_will_set(client, topic.constData(), static_cast<int>(payload.size()),
                               payload.constData(), 1, true) != MOSQ_ERR_SUCCESS) {
            m_last_error =
                QStringLiteral("the will topic %1 is not valid").arg(m_settings.will_topic);
            return false;
        }
    }
    // Small publishes go out at once, not held back by Nagle until the last is acknowledged.
    mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);
    if (m_settings.tls) {
        const QByteArray ca = or_null(m_settings.ca_file);
        const QByteArray cert = or_null(m_settings.cert_file);
        const QByteArray key = or_null(m_settings.key_file);
        // The broker's certificate and host name are verified: no tls_insecure_set.
        if (mosquitto_tls_set(client, c_str_or_null(ca), nullptr, c_str_or_null(cert),
                              c_str_or_null(key), nullptr) != MOSQ_ERR_SUCCESS) {
            m_last_error = QStringLiteral(
                "cannot use the TLS files: the CA file is needed, and a client "
                "certificate only together with its key; all must be readable");
            return false;
        }
    }
    return true;
}

void MqttClient::attempt() {
    if (!m_running || m_connecting) {
        return;
    }
    if (!m_handle) {
        m_handle = make_handle();
        m_configured = false;
        m_host_set = false;
    }
    m_refusal.clear();
    m_handle->events() = MosquittoEvents{};
    if (!m_configured) {
        m_configured = configure();
        if (!m_configured) {
            connection_ended(m_last_error);
            return;
        }
    }
    // libmosquitto refuses keep-alives from 1 to 4 s.
    const int keepalive =
        m_settings.keepalive_s > 0 ? std::max(m_settings.keepalive_s, MinKeepaliveS) : 0;
    // libmosquitto looks the host name up inside its connect call, blocking
    // for as long as the resolver takes (an unanswered .local name: seconds),
    // so the call runs on a thread of its own while the event loop leaves the
    // handle alone. Looking the name up here and handing libmosquitto an
    // address instead would make TLS check the certificate against that
    // address, not the name the user gave. The call leaves the TCP connect
    // and the TLS handshake pending, and libmosquitto holds CONNECT (with the
    // credentials) back until both have succeeded on the event loop, the
    // certificate verified.
    m_connecting = true;
    const quint64 epoch = m_epoch;
    const bool started = MosquittoHandle::connect_in_background(
        m_handle, !m_host_set, m_settings.host.toUtf8(), m_settings.port, keepalive, this,
        [this, epoch](int rc, int saved_errno) {
            if (epoch == m_epoch && m_connecting) {
                attempt_made(rc, saved_errno);
            }
        });
    if (!started) {
        m_connecting = false;
        connection_ended(describe_error(MOSQ_ERR_ERRNO, EAGAIN));
    }
}

void MqttClient::attempt_made(int rc, int saved_errno) {
    m_connecting = false;
    m_host_set = m_host_set || (rc != MOSQ_ERR_INVAL && rc != MOSQ_ERR_NOMEM);
    if (rc != MOSQ_ERR_SUCCESS) {
        connection_ended(describe_error(rc, saved_errno));
        return;
    }
    m_socket->watch(mosq());
    after_io(MOSQ_ERR_SUCCESS, saved_errno);
}

void MqttClient::after_io(int rc, int saved_errno) {
    if (!m_socket->is_watching()) {
        return;
    }
    MosquittoEvents& events = m_handle->events();
    if (events.connack_seen) {
        events.connack_seen = false;
        if (events.connack_code == 0) {
            m_connected = true;
            m_retry_ms = FirstRetryMs;
            m_last_error.clear();
            post([this] { Q_EMIT connected(); });
        } else {
            m_refusal = describe_refusal(events.connack_code);
        }
    }
    if (m_socket->keep_up()) {
        return;
    }
    // libmosquitto closed the socket: refused, lost, or a failed TLS handshake
    // (which returns an error without calling on_disconnect).
    QString reason = m_refusal;
    if (reason.isEmpty()) {
        reason = events.disconnect_seen
                     ? describe_error(events.disconnect_rc, events.disconnect_errno)
                     : describe_error(rc, saved_errno);
    }
    connection_ended(reason);
}

void MqttClient::connection_ended(const QString& reason) {
    m_socket->unwatch();
    const bool was_connected = m_connected;
    m_connected = false;
    if (m_handle) {
        m_handle->events().connack_seen = false;
        m_handle->events().disconnect_seen = false;
    }
    m_last_error = reason;
    if (was_connected) {
        post([this, reason] { Q_EMIT disconnected(reason); });
    } else {
        post([this, reason] { Q_EMIT connect_failed(reason); });
    }
    if (m_running) {
        m_retry->start(m_retry_ms);
        m_retry_ms = std::min(2 * m_retry_ms, LastRetryMs);
    }
}

QString MqttClient::describe_refusal(int code) const {
    const bool v5 = m_settings.protocol == 5;
    QString text =
        QString::fromUtf8(v5 ? mosquitto_reason_string(code) : mosquitto_connack_string(code));
    text.remove(QStringLiteral("Connection Refused: "), Qt::CaseInsensitive);
    text = QStringLiteral("the broker refused the connection: ") + as_clause(text);
    // 3.1.1: 4 bad user name or password, 5 not authorised; MQTT 5: 134, 135.
    const bool credentials = v5 ? (code == 134 || code == 135) : (code == 4 || code == 5);
    if (credentials) {
        text += QStringLiteral(" (check --username and the password file)");
    }
    return text;
}

QString MqttClient::describe_error(int rc, int saved_errno) const {
    const QString where = QStringLiteral("%1:%2").arg(m_settings.host).arg(m_settings.port);
    const QString tls_error = m_handle ? m_handle->events().tls_error : QString();
    if (m_settings.protocol == 5 && rc >= 128) {
        // An MQTT 5 DISCONNECT from the broker carries a reason code instead.
        return QStringLiteral("the broker closed the connection: ") +
               as_clause(QString::fromUtf8(mosquitto_reason_string(rc)));
    }
    switch (rc) {
        case MOSQ_ERR_ERRNO:
            if (saved_errno == 0) {
                return QStringLiteral("the connection to the broker at %1 failed").arg(where);
            }
            return QStringLiteral("cannot reach the broker at %1: %2")
                .arg(where, as_clause(QString::fromLocal8Bit(std::strerror(saved_errno))));
        case MOSQ_ERR_EAI:
        case MOSQ_ERR_LOOKUP:
            return QStringLiteral("cannot resolve the broker's host name %1").arg(m_settings.host);
        case MOSQ_ERR_TLS:
        case MOSQ_ERR_TLS_HANDSHAKE:
            return QStringLiteral(
                       "the TLS handshake with the broker at %1 failed: %2 (check the CA file, "
                       "that the port speaks TLS and that the broker's certificate names %3)")
                .arg(where, tls_error.isEmpty() ? QStringLiteral("TLS error") : tls_error,
                     m_settings.host);
        case MOSQ_ERR_CONN_LOST:
            return QStringLiteral("the connection to the broker at %1 was lost").arg(where);
        case MOSQ_ERR_KEEPALIVE:
            // Also ends a connection attempt that gets no answer.
            return (m_connected ? QStringLiteral("the broker at %1 stopped answering")
                                : QStringLiteral("the broker at %1 did not answer in time"))
                .arg(where);
        default:
            return QStringLiteral("the connection to the broker at %1 failed: %2")
                .arg(where, as_clause(QString::fromUtf8(mosquitto_strerror(rc))));
    }
}

}  // namespace relay
