#include "mqtt/mosquitto_handle.h"

#include <QObject>

#include <mosquitto.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

namespace relay {

MosquittoHandle::MosquittoHandle(const QByteArray& client_id) {
    static const int initialised = mosquitto_lib_init();
    static_cast<void>(initialised);

    m_mosq = mosquitto_new(client_id.isEmpty() ? nullptr : client_id.constData(), true, this);
    if (m_mosq) {
        mosquitto_connect_callback_set(m_mosq, &MosquittoHandle::on_connect);
        mosquitto_disconnect_callback_set(m_mosq, &MosquittoHandle::on_disconnect);
        mosquitto_message_callback_set(m_mosq, &MosquittoHandle::on_message);
        mosquitto_publish_callback_set(m_mosq, &MosquittoHandle::on_publish);
        mosquitto_log_callback_set(m_mosq, &MosquittoHandle::on_log);
    }
}

MosquittoHandle::~MosquittoHandle() {
    mosquitto_destroy(m_mosq);
}

bool MosquittoHandle::connect_in_background(const std::shared_ptr<MosquittoHandle>& handle,
                                            bool first, const QByteArray& host, int port,
                                            int keepalive, QObject* receiver, ConnectDone done) {
    {
        const std::lock_guard<std::mutex> lock(handle->m_mutex);
        handle->m_receiver = receiver;
    }
    const auto call = [handle, first, host, port, keepalive, done = std::move(done)] {
        errno = 0;
        const int rc =
            first ? mosquitto_connect_async(handle->m_mosq, host.constData(), port, keepalive)
                  : mosquitto_reconnect_async(handle->m_mosq);
        const int saved_errno = errno;
        // Posted under the lock: abandon(), which the receiver calls before
        // it goes away, cannot slip in between the check and the post.
        const std::lock_guard<std::mutex> lock(handle->m_mutex);
        if (handle->m_receiver) {
            QMetaObject::invokeMethod(
                handle->m_receiver, [done, rc, saved_errno] { done(rc, saved_errno); },
                Qt::QueuedConnection);
        }
    };
    try {
        std::thread(call).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void MosquittoHandle::abandon() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_receiver = nullptr;
    m_sink = nullptr;
}

void MosquittoHandle::on_connect(struct mosquitto*, void* self, int code) {
    MosquittoEvents& events = static_cast<MosquittoHandle*>(self)->m_events;
    events.connack_seen = true;
    events.connack_code = code;
}

void MosquittoHandle::on_disconnect(struct mosquitto*, void* self, int rc) {
    MosquittoEvents& events = static_cast<MosquittoHandle*>(self)->m_events;
    events.disconnect_errno = errno;
    events.disconnect_seen = true;
    events.disconnect_rc = rc;
}

void MosquittoHandle::on_publish(struct mosquitto*, void* self, int) {
    --static_cast<MosquittoHandle*>(self)->m_events.unacknowledged;
}

void MosquittoHandle::on_message(struct mosquitto*, void* self,
                                 const struct mosquitto_message* message) {
    const MessageSink& sink = static_cast<MosquittoHandle*>(self)->m_sink;
    if (sink) {
        sink(QString::fromUtf8(message->topic),
             QByteArray(static_cast<const char*>(message->payload), message->payloadlen),
             message->retain);
    }
}

void MosquittoHandle::on_log(struct mosquitto*, void* self, int level, const char* text) {
    // OpenSSL says why a handshake failed only here, e.g.
    // "OpenSSL Error[0]: error:0A000086:SSL routines::certificate verify failed".
    if (level == MOSQ_LOG_ERR && std::strncmp(text, "OpenSSL Error", 13) == 0) {
        const QString line = QString::fromUtf8(text);
        static_cast<MosquittoHandle*>(self)->m_events.tls_error =
            line.mid(line.lastIndexOf(':') + 1).trimmed();
    }
}

}  // namespace relay
