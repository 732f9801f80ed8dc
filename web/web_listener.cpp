#include "web/web_listener.h"

#include "web/web_request.h"

#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>

namespace relay {

namespace {

// The sockets it makes are guarded before the HTTP server reads from them.
class GuardedServer : public QTcpServer {
public:
    GuardedServer(std::function<void(QTcpSocket*)> guard, QObject* parent)
        : QTcpServer(parent), m_guard(std::move(guard)) {}

protected:
    void incomingConnection(qintptr descriptor) override {
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        m_guard(socket);
        addPendingConnection(socket);
    }

private:
    std::function<void(QTcpSocket*)> m_guard;
};

}  // namespace

WebListener::WebListener(QObject* parent) : QObject(parent) {
    m_clock.start();
    m_sweep.setInterval(IdleMs / 4);
    connect(&m_sweep, &QTimer::timeout, this, &WebListener::sweep);
    m_sweep.start();
}

QTcpServer* WebListener::listen(const QHostAddress& address, quint16 port,
                                const std::optional<QSslConfiguration>& tls, QString* error) {
    QTcpServer* server = nullptr;
    if (tls) {
        auto* secure = new QSslServer(this);
        secure->setSslConfiguration(*tls);
        connect(secure, &QSslServer::startedEncryptionHandshake, this,
                [this](QSslSocket* socket) { guard(socket); });
        server = secure;
    } else {
        server = new GuardedServer([this](QTcpSocket* socket) { guard(socket); }, this);
    }
    if (!server->listen(address, port)) {
        *error = server->errorString();
        delete server;
        return nullptr;
    }
    return server;
}

void WebListener::guard(QTcpSocket* socket) {
    if (m_heard_ms.size() >= MostConnections) {
        socket->abort();
        return;
    }
    // With the HTTP server's read transaction, everything a request sends
    // stays buffered until it is whole: this bounds it.
    socket->setReadBufferSize(MostBufferedBytes);
    m_heard_ms.insert(socket, m_clock.elapsed());
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
        if (m_heard_ms.contains(socket)) {
            m_heard_ms[socket] = m_clock.elapsed();
            check_announced_size(socket);
        }
    });
    connect(socket, &QObject::destroyed, this, [this, socket] { m_heard_ms.remove(socket); });
}

void WebListener::check_announced_size(QTcpSocket* socket) {
    if (!socket->isOpen() || socket->state() != QAbstractSocket::ConnectedState) {
        return;
    }
    const QByteArray head = socket->peek(8192);
    const qsizetype end = head.indexOf("\r\n\r\n");
    if (end < 0) {
        return;
    }
    for (const QByteArray& line : head.left(end).split('\n')) {
        const QByteArray field = line.trimmed().toLower();
        if (field.startsWith("content-length:") &&
            field.mid(15).trimmed().toLongLong() > MaxBodyBytes) {
            const QByteArray body = "{\"error\":\"the body is larger than " +
                                    QByteArray::number(MaxBodyBytes) + " bytes\"}";
            socket->write(
                "HTTP/1.1 413 Payload Too Large\r\nContent-Type: application/json\r\n"
                "Connection: close\r\nContent-Length: " +
                QByteArray::number(body.size()) + "\r\n\r\n" + body);
            socket->disconnectFromHost();
            return;
        }
    }
}

void WebListener::sweep() {
    const qint64 now = m_clock.elapsed();
    QList<QTcpSocket*> idle;
    for (auto it = m_heard_ms.cbegin(); it != m_heard_ms.cend(); ++it) {
        if (now - it.value() > IdleMs) {
            idle.append(it.key());
        }
    }
    for (QTcpSocket* socket : idle) {
        socket->abort();
    }
}

}  // namespace relay
