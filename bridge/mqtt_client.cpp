#include "bridge/mqtt_client.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <QTimer>

#include <mosquitto.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace relay {

namespace {

constexpr int TickMs = 1000;
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
    : QObject(parent), m_settings(std::move(settings)) {
    static const int initialised = mosquitto_lib_init();
    static_cast<void>(initialised);

    const QByteArray id = or_null(m_settings.client_id);
    // Clean session: commands sent while we were away must not be replayed.
    m_mosq = mosquitto_new(c_str_or_null(id), true, this);
    if (m_mosq) {
        mosquitto_connect_callback_set(m_mosq, &MqttClient::on_connect);
        mosquitto_disconnect_callback_set(m_mosq, &MqttClient::on_disconnect);
        mosquitto_message_callback_set(m_mosq, &MqttClient::on_message);
        mosquitto_publish_callback_set(m_mosq, &MqttClient::on_publish);
        mosquitto_log_callback_set(m_mosq, &MqttClient::on_log);
    }

    m_tick = new QTimer(this);
    m_tick->setInterval(TickMs);
    connect(m_tick, &QTimer::timeout, this, [this] { after_io(mosquitto_loop_misc(m_mosq)); });
    m_retry = new QTimer(this);
    m_retry->setSingleShot(true);
    connect(m_retry, &QTimer::timeout, this, &MqttClient::attempt);
}

MqttClient::~MqttClient() {
    stop(0);
    mosquitto_destroy(m_mosq);
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
    m_tick->stop();
    unwatch_socket();
    if (m_mosq && mosquitto_socket(m_mosq) >= 0) {
        const QDeadlineTimer deadline(timeout_ms);
        // Every last publish (the offline states) confirmed first: a close with
        // unread acknowledgements resets the connection, and the broker drops
        // what it had not read yet.
        if (m_connected) {
            exchange(deadline, [this] { return m_unacknowledged <= 0; });
        }
        // DISCONNECT tells the broker to drop the will; then wait for its close.
        mosquitto_disconnect(m_mosq);
        flush(static_cast<int>(deadline.remainingTime()));
        exchange(deadline, [this] { return mosquitto_socket(m_mosq) < 0; });
    }
    m_unacknowledged = 0;
    m_connected = false;
    m_connack_seen = false;
    m_disconnect_seen = false;
}

bool MqttClient::publish(const QString& topic, const QByteArray& payload, bool retain) {
    if (!m_connected) {
        return false;
    }
    const int rc =
        mosquitto_publish(m_mosq, nullptr, topic.toUtf8().constData(),
                          static_cast<int>(payload.size()), payload.constData(), 1, retain);
    if (rc == MOSQ_ERR_SUCCESS) {
        ++m_unacknowledged;
    }
    after_io(MOSQ_ERR_SUCCESS);
    return rc == MOSQ_ERR_SUCCESS;
}

bool MqttClient::subscribe(const QString& pattern) {
    if (!m_connected) {
        return false;
    }
    const int rc = mosquitto_subscribe(m_mosq, nullptr, pattern.toUtf8().constData(), 1);
    after_io(MOSQ_ERR_SUCCESS);
    return rc == MOSQ_ERR_SUCCESS;
}

void MqttClient::on_connect(struct mosquitto*, void* self, int code) {
    auto* client = static_cast<MqttClient*>(self);
    client->m_connack_seen = true;
    client->m_connack_code = code;
}

void MqttClient::on_disconnect(struct mosquitto*, void* self, int rc) {
    auto* client = static_cast<MqttClient*>(self);
    client->m_disconnect_errno = errno;
    client->m_disconnect_seen = true;
    client->m_disconnect_rc = rc;
}

void MqttClient::on_publish(struct mosquitto*, void* self, int) {
    --static_cast<MqttClient*>(self)->m_unacknowledged;
}

void MqttClient::on_message(struct mosquitto*, void* self,
                            const struct mosquitto_message* message) {
    auto* client = static_cast<MqttClient*>(self);
    const QString topic = QString::fromUtf8(message->topic);
    const QByteArray payload(static_cast<const char*>(message->payload), message->payloadlen);
    const bool retained = message->retain;
    client->post([client, topic, payload, retained] {
        Q_EMIT client->message_received(topic, payload, retained);
    });
}

void MqttClient::on_log(struct mosquitto*, void* self, int level, const char* text) {
    // OpenSSL says why a handshake failed only here, e.g.
    // "OpenSSL Error[0]: error:0A000086:SSL routines::certificate verify failed".
    if (level == MOSQ_LOG_ERR && std::strncmp(text, "OpenSSL Error", 13) == 0) {
        const QString line = QString::fromUtf8(text);
        static_cast<MqttClient*>(self)->m_tls_error = line.mid(line.lastIndexOf(':') + 1).trimmed();
    }
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
    if (!m_mosq) {
        m_last_error = QStringLiteral("cannot create the MQTT client (is the client id valid?)");
        return false;
    }
    const int version = m_settings.protocol == 5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311;
    if (mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, version) != MOSQ_ERR_SUCCESS) {
        m_last_error = QStringLiteral("unsupported MQTT protocol version %1").arg(version);
        return false;
    }
    if (!m_settings.username.isEmpty()) {
        const QByteArray user = m_settings.username.toUtf8();
        const QByteArray password = or_null(m_settings.password);
        if (mosquitto_username_pw_set(m_mosq, user.constData(), c_str_or_null(password)) !=
            MOSQ_ERR_SUCCESS) {
            m_last_error = QStringLiteral("the user name is not valid UTF-8 or too long");
            return false;
        }
    }
    if (!m_settings.will_topic.isEmpty()) {
        const QByteArray topic = m_settings.will_topic.toUtf8();
        const QByteArray& payload = m_settings.will_payload;
        if (mosquitto_will_set(m_mosq, topic.constData(), static_cast<int>(payload.size()),
                               payload.constData(), 1, true) != MOSQ_ERR_SUCCESS) {
            m_last_error =
                QStringLiteral("the will topic %1 is not valid").arg(m_settings.will_topic);
            return false;
        }
    }
    if (m_settings.tls) {
        const QByteArray ca = or_null(m_settings.ca_file);
        const QByteArray cert = or_null(m_settings.cert_file);
        const QByteArray key = or_null(m_settings.key_file);
        // The broker's certificate and host name are verified: no tls_insecure_set.
        if (mosquitto_tls_set(m_mosq, c_str_or_null(ca), nullptr, c_str_or_null(cert),
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
    if (!m_running) {
        return;
    }
    m_refusal.clear();
    m_tls_error.clear();
    m_connack_seen = false;
    m_unacknowledged = 0;
    m_disconnect_seen = false;
    if (!m_configured) {
        m_configured = configure();
        if (!m_configured) {
            connection_ended(m_last_error);
            return;
        }
    }
    const QByteArray host = m_settings.host.toUtf8();
    // libmosquitto refuses keep-alives from 1 to 4 s.
    const int keepalive =
        m_settings.keepalive_s > 0 ? std::max(m_settings.keepalive_s, MinKeepaliveS) : 0;
    errno = 0;
    const int rc =
        m_host_set ? mosquitto_reconnect_async(m_mosq)
                   : mosquitto_connect_async(m_mosq, host.constData(), m_settings.port, keepalive);
    const int saved_errno = errno;
    m_host_set = m_host_set || (rc != MOSQ_ERR_INVAL && rc != MOSQ_ERR_NOMEM);
    if (rc != MOSQ_ERR_SUCCESS) {
        connection_ended(describe_error(rc, saved_errno));
        return;
    }
    watch_socket();
    after_io(MOSQ_ERR_SUCCESS);
}

void MqttClient::watch_socket() {
    unwatch_socket();
    m_socket = mosquitto_socket(m_mosq);
    if (m_socket < 0) {
        return;
    }
    m_read = new QSocketNotifier(m_socket, QSocketNotifier::Read, this);
    connect(m_read, &QSocketNotifier::activated, this,
            [this] { after_io(mosquitto_loop_read(m_mosq, 1)); });
    m_write = new QSocketNotifier(m_socket, QSocketNotifier::Write, this);
    m_write->setEnabled(false);
    connect(m_write, &QSocketNotifier::activated, this,
            [this] { after_io(mosquitto_loop_write(m_mosq, 1)); });
    m_tick->start();
}

void MqttClient::unwatch_socket() {
    // Possibly called from the notifier's own signal: let it go later.
    for (QSocketNotifier* notifier : {m_read, m_write}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    m_read = nullptr;
    m_write = nullptr;
    m_socket = -1;
}

void MqttClient::after_io(int rc) {
    const int saved_errno = errno;
    if (m_socket < 0) {
        return;
    }
    if (m_connack_seen) {
        m_connack_seen = false;
        if (m_connack_code == 0) {
            m_connected = true;
            m_retry_ms = FirstRetryMs;
            m_last_error.clear();
            post([this] { Q_EMIT connected(); });
        } else {
            m_refusal = describe_refusal(m_connack_code);
        }
    }
    if (mosquitto_socket(m_mosq) == m_socket) {
        m_write->setEnabled(mosquitto_want_write(m_mosq));
        return;
    }
    // libmosquitto closed the socket: refused, lost, or a failed TLS handshake
    // (which returns an error without calling on_disconnect).
    QString reason = m_refusal;
    if (reason.isEmpty()) {
        reason = m_disconnect_seen ? describe_error(m_disconnect_rc, m_disconnect_errno)
                                   : describe_error(rc, saved_errno);
    }
    connection_ended(reason);
}

void MqttClient::connection_ended(const QString& reason) {
    unwatch_socket();
    m_tick->stop();
    const bool was_connected = m_connected;
    m_connected = false;
    m_connack_seen = false;
    m_disconnect_seen = false;
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

void MqttClient::flush(int timeout_ms) {
    const QDeadlineTimer deadline(timeout_ms);
    while (mosquitto_socket(m_mosq) >= 0 && mosquitto_want_write(m_mosq)) {
        pollfd fd{mosquitto_socket(m_mosq), POLLOUT, 0};
        const int ready = ::poll(&fd, 1, static_cast<int>(deadline.remainingTime()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0 || mosquitto_loop_write(m_mosq, 1) != MOSQ_ERR_SUCCESS) {
            return;
        }
    }
}

void MqttClient::exchange(const QDeadlineTimer& deadline, const std::function<bool()>& done) {
    while (!done() && mosquitto_socket(m_mosq) >= 0 && !deadline.hasExpired()) {
        const bool out = mosquitto_want_write(m_mosq);
        pollfd fd{mosquitto_socket(m_mosq), static_cast<short>(POLLIN | (out ? POLLOUT : 0)), 0};
        const int ready = ::poll(&fd, 1, static_cast<int>(deadline.remainingTime()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return;
        }
        if ((fd.revents & POLLOUT) && mosquitto_loop_write(m_mosq, 1) != MOSQ_ERR_SUCCESS) {
            return;
        }
        if ((fd.revents & (POLLIN | POLLHUP | POLLERR)) &&
            mosquitto_loop_read(m_mosq, 1) != MOSQ_ERR_SUCCESS) {
            return;
        }
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
                .arg(where, m_tls_error.isEmpty() ? QStringLiteral("TLS error") : m_tls_error,
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
