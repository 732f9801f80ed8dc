#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

struct mosquitto;
struct mosquitto_message;

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

// One libmosquitto client and what its callbacks report.
class MosquittoHandle {
public:
    using MessageSink =
        std::function<void(const QString& topic, const QByteArray& payload, bool retained)>;

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

private:
    static void on_connect(struct mosquitto*, void* self, int code);
    static void on_disconnect(struct mosquitto*, void* self, int rc);
    static void on_message(struct mosquitto*, void* self, const struct mosquitto_message* message);
    static void on_publish(struct mosquitto*, void* self, int mid);
    static void on_log(struct mosquitto*, void* self, int level, const char* text);

    struct mosquitto* m_mosq = nullptr;
    MosquittoEvents m_events;
    MessageSink m_sink;
};

}  // namespace relay
