#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>

struct mosquitto;
struct mosquitto_message;
class QObject;

namespace relay {

// What libmosquitto's callbacks leave behind, acted upon once it has returned.
struct MosquittoEvents {
    bool connack_seen = false;
    int connack_code = 0;
    bool disconnect_seen = false;
    int disconnect_rc = 0;
    int disconnect_errno = 0;
    int unacknowledged = 0;  // QoS 1 publishes the broker has not confirmed
    QString tls_error;       // OpenSSL's reason for a failed handshake
};

// One libmosquitto client and what its callbacks report. While a connect call
// runs in the background, its thread shares the handle; whichever lets go of it
// last destroys it.
class MosquittoHandle {
public:
    using MessageSink =
        std::function<void(const QString& topic, const QByteArray& payload, bool retained)>;
    // The connect call's result and errno right after it.
    using ConnectDone = std::function<void(int rc, int saved_errno)>;

    // Clean session: commands sent while we were away must not be replayed.
    explicit MosquittoHandle(const QByteArray& client_id);
    ~MosquittoHandle();
    MosquittoHandle(const MosquittoHandle&) = delete;
    MosquittoHandle& operator=(const MosquittoHandle&) = delete;

    // Null when libmosquitto refused the client id.
    struct mosquitto* get() const {
        return m_mosq;
    }
    MosquittoEvents& events() { return m_events; }
    // Called from inside libmosquitto's read.
    void set_message_sink(MessageSink sink) { m_sink = std::move(sink); }

    // mosquitto_connect_async (first) or mosquitto_reconnect_async on a thread
    // of its own; done then runs on receiver's thread, unless abandon() came
    // first. Until then the handle belongs to that thread alone. False when no
    // thread could be started.
    static bool connect_in_background(const std::shared_ptr<MosquittoHandle>& handle, bool first,
                                      const QByteArray& host, int port, int keepalive,
                                      QObject* receiver, ConnectDone done);
    // Nothing more is reported, and nothing is handed to the message sink;
    // a connect call still running only lets go of the handle when it returns.
    void abandon();

private:
    static void on_connect(struct mosquitto*, void* self, int code);
    static void on_disconnect(struct mosquitto*, void* self, int rc);
    static void on_message(struct mosquitto*, void* self, const struct mosquitto_message* message);
    static void on_publish(struct mosquitto*, void* self, int mid);
    static void on_log(struct mosquitto*, void* self, int level, const char* text);

    struct mosquitto* m_mosq = nullptr;
    MosquittoEvents m_events;
    MessageSink m_sink;
    std::mutex m_mutex;
    QObject* m_receiver = nullptr;  // guarded by m_mutex
};

}  // namespace relay
