#include "mqtt/mqtt_socket.h"

#include <QSocketNotifier>
#include <QTimer>

#include <mosquitto.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace relay {

namespace {
constexpr int TickMs = 1000;
}  // namespace

MqttSocket::MqttSocket(QObject* parent) : QObject(parent), m_tick(new QTimer(this)) {
    m_tick->setInterval(TickMs);
    connect(m_tick, &QTimer::timeout, this, [this] { step(mosquitto_loop_misc(m_mosq)); });
}

void MqttSocket::watch(struct mosquitto* mosq) {
    unwatch();
    m_mosq = mosq;
    m_socket = mosquitto_socket(mosq);
    if (m_socket < 0) {
        return;
    }
    m_read = new QSocketNotifier(m_socket, QSocketNotifier::Read, this);
    connect(m_read, &QSocketNotifier::activated, this, [this] {
        const int rc = mosquitto_loop_read(m_mosq, 1);
        // The broker's answer to a publish (its PUBACK) would otherwise be
        // acknowledged only after up to 40 ms, and a broker at its defaults
        // (Nagle on) holds the next command for us until then. Linux falls
        // back to delayed ACKs by itself, so this is set after every read.
        if (m_socket >= 0 && mosquitto_socket(m_mosq) == m_socket) {  // still ours
            const int one = 1;
            ::setsockopt(m_socket, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        }
        step(rc);
    });
    m_write = new QSocketNotifier(m_socket, QSocketNotifier::Write, this);
    m_write->setEnabled(false);
    connect(m_write, &QSocketNotifier::activated, this,
            [this] { step(mosquitto_loop_write(m_mosq, 1)); });
    m_tick->start();
}

void MqttSocket::unwatch() {
    m_tick->stop();
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

bool MqttSocket::keep_up() {
    if (m_socket < 0 || mosquitto_socket(m_mosq) != m_socket) {
        return false;
    }
    m_write->setEnabled(mosquitto_want_write(m_mosq));
    return true;
}

void MqttSocket::step(int rc) {
    Q_EMIT io_done(rc, errno);
}

void MqttSocket::flush(struct mosquitto* mosq, const QDeadlineTimer& deadline) {
    while (mosquitto_socket(mosq) >= 0 && mosquitto_want_write(mosq)) {
        pollfd fd{mosquitto_socket(mosq), POLLOUT, 0};
        const int ready = ::poll(&fd, 1, static_cast<int>(deadline.remainingTime()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0 || mosquitto_loop_write(mosq, 1) != MOSQ_ERR_SUCCESS) {
            return;
        }
    }
}

void MqttSocket::exchange(struct mosquitto* mosq, const QDeadlineTimer& deadline,
                          const std::function<bool()>& done) {
    while (!done() && mosquitto_socket(mosq) >= 0 && !deadline.hasExpired()) {
        const bool out = mosquitto_want_write(mosq);
        pollfd fd{mosquitto_socket(mosq), static_cast<short>(POLLIN | (out ? POLLOUT : 0)), 0};
        const int ready = ::poll(&fd, 1, static_cast<int>(deadline.remainingTime()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return;
        }
        if ((fd.revents & POLLOUT) && mosquitto_loop_write(mosq, 1) != MOSQ_ERR_SUCCESS) {
            return;
        }
        if ((fd.revents & (POLLIN | POLLHUP | POLLERR)) &&
            mosquitto_loop_read(mosq, 1) != MOSQ_ERR_SUCCESS) {
            return;
        }
    }
}

}  // namespace relay
