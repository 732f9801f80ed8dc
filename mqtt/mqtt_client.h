#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

struct mosquitto;
class QTimer;

namespace relay {

class MosquittoHandle;
class MqttSocket;

// How to reach the broker. A password is passed in here, never on a command
// line: the program reads it from a file or the environment.
struct MqttSettings {
    QString host = QStringLiteral("localhost");
    int port = 1883;
    bool tls = false;
    QString ca_file;    // TLS: the CA that signed the broker's certificate
    QString cert_file;  // TLS: optional client certificate
    QString key_file;   // TLS: its key
    QString username;
    QString password;
    QString client_id;
    int protocol = 4;  // 4: MQTT 3.1.1, 5: MQTT 5
    int keepalive_s = 30;
    // The last will: published by the broker when the connection is lost
    // without an orderly disconnect.
    QString will_topic;
    QByteArray will_payload;
};

// libmosquitto on Qt's event loop, one thread: the socket is watched by
// notifiers, keep-alives run from a timer, and a lost connection is retried
// with a backoff of 1 s doubling to 30 s. Nothing here blocks on the network:
// the connect call, which looks up the broker's host name, runs on a thread of
// its own. Signals are emitted from the event loop, never from inside a
// libmosquitto callback.
class MqttClient : public QObject {
    Q_OBJECT
public:
    static constexpr int FirstRetryMs = 1000;
    static constexpr int LastRetryMs = 30000;

    explicit MqttClient(MqttSettings settings, QObject* parent = nullptr);
    ~MqttClient() override;

    // Starts connecting; retries on its own until stop().
    void start();
    // Sends what is queued (within timeout_ms), disconnects the orderly way
    // (the broker does not publish the will) and stops retrying. A connect
    // call still looking up the host name is left to end on its own.
    void stop(int timeout_ms = 2000);
    bool is_connected() const { return m_connected; }

    // QoS 1. False when not connected (nothing is queued for later).
    bool publish(const QString& topic, const QByteArray& payload, bool retain);
    // QoS 1. Only while connected; subscribe again after every connected().
    bool subscribe(const QString& pattern);

    // The last connection failure in words (refused credentials, TLS, ...).
    QString last_error() const { return m_last_error; }

Q_SIGNALS:
    void connected();
    void disconnected(const QString& reason);
    // retained: the broker delivered a stored message, not a fresh one.
    void message_received(const QString& topic, const QByteArray& payload, bool retained);
    // A connection attempt failed or was refused; reason in words. Emitted for
    // every attempt; the caller decides how often to log it.
    void connect_failed(const QString& reason);

private:
    struct mosquitto* mosq() const;
    std::shared_ptr<MosquittoHandle> make_handle();
    bool configure();
    void attempt();
    void attempt_made(int rc, int saved_errno);
    void after_io(int rc, int saved_errno);
    void connection_ended(const QString& reason);
    QString describe_error(int rc, int saved_errno) const;
    QString describe_refusal(int code) const;
    template <typename F>
    void post(F emit_later);

    MqttSettings m_settings;
    std::shared_ptr<MosquittoHandle> m_handle;
    bool m_connected = false;
    QString m_last_error;

    bool m_running = false;
    bool m_connecting = false;  // a connect call runs in the background
    bool m_configured = false;
    bool m_host_set = false;  // after the first connect_async, attempts use reconnect_async
    int m_retry_ms = FirstRetryMs;
    quint64 m_epoch = 0;  // stop() drops signals queued before it
    MqttSocket* m_socket = nullptr;
    QTimer* m_retry = nullptr;
    QString m_refusal;
};

}  // namespace relay
