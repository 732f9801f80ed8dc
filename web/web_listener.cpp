#include "web/web_listener.h"

#include "web/web_exchange.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <deque>

#include <sys/socket.h>

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

QByteArray refusal(int status, const QString& error, bool tls) {
    static const QHash<int, QByteArray> reasons{
        {400, "Bad Request"},     {408, "Request Timeout"},
        {411, "Length Required"}, {413, "Content Too Large"},
        {414, "URI Too Long"},    {431, "Request Header Fields Too Large"},
        {501, "Not Implemented"}, {505, "HTTP Version Not Supported"}};
    const QByteArray body =
        QJsonDocument(QJsonObject{{QStringLiteral("error"), error}}).toJson(QJsonDocument::Compact);
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasons.value(status, "Error") +
           "\r\nContent-Type: application/json\r\nContent-Length: " +
           QByteArray::number(body.size()) +
           "\r\nConnection: close\r\nX-Content-Type-Options: nosniff\r\n" +
           (tls ? "Strict-Transport-Security: " + TransportSecurity + "\r\n" : QByteArray()) +
           "\r\n" + body;
}

}  // namespace

QByteArray client_of(const QHostAddress& address) {
    bool four = false;
    const quint32 ipv4 = address.toIPv4Address(&four);  // mapped ones too
    if (four) {
        return QByteArray::number(ipv4);
    }
    const Q_IPV6ADDR six = address.toIPv6Address();
    return QByteArray(reinterpret_cast<const char*>(six.c), 8).toHex();
}

struct WebListener::Connection {
    QByteArray client;
    RequestFramer framer;
    std::deque<RequestFramer::Request> ready;  // read here, not yet taken by Qt's server
    qint64 since_ms = 0;                       // when the framer's state began
    qint64 answering_ms = -1;                  // a request in hand since; -1: none
    bool used = false;                         // waiting is keep-alive
    bool closing = false;  // refused: the answer goes out, what comes in is dropped
    bool shut = false;
    QMetaObject::Connection reading;
};

WebListener::WebListener(QObject* parent) : QObject(parent) {
    // Tests shorten the deadlines; nothing lengthens them.
    const int wanted = qEnvironmentVariableIntValue("RELAYD_WEB_DEADLINE_MS");
    if (wanted > 0) {
        m_deadline_ms = std::min(wanted, DeadlineMs);
    }
    m_clock.start();
    m_sweep.setInterval(std::max(m_deadline_ms / 10, 20));
    connect(&m_sweep, &QTimer::timeout, this, &WebListener::sweep);
}

WebListener::~WebListener() = default;

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

WebListener::Connection* WebListener::find(QTcpSocket* socket) {
    const auto it = m_connections.find(socket);
    return it == m_connections.end() ? nullptr : it->second.get();
}

void WebListener::guard(QTcpSocket* socket) {
    const QByteArray client = client_of(socket->peerAddress());
    if (m_per_client.value(client) >= MostPerClient ||
        (static_cast<int>(m_connections.size()) >= MostConnections && !make_room())) {
        // Queued: a TLS socket is about to start its handshake.
        QMetaObject::invokeMethod(socket, &QAbstractSocket::abort, Qt::QueuedConnection);
        return;
    }
    // With the HTTP server's read transaction, everything a request sends
    // stays buffered until it is whole: this bounds it.
    socket->setReadBufferSize(MostBufferedBytes);
    auto connection = std::make_unique<Connection>();
    connection->client = client;
    connection->since_ms = m_clock.elapsed();
    connection->reading =
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
    connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { written(socket); });
    connect(socket, &QObject::destroyed, this, [this, socket] { forget(socket); });
    m_connections.emplace(socket, std::move(connection));
    ++m_per_client[client];
    if (!m_sweep.isActive()) {
        m_sweep.start();
    }
}

void WebListener::read(QTcpSocket* socket) {
    Connection* connection = find(socket);
    if (!connection) {
        return;
    }
    if (connection->closing) {
        socket->skip(socket->bytesAvailable());
        return;
    }
    // Qt's server reads all there is after this, at the same signal: what is
    // available now is what it has not read yet.
    const RequestFramer::State before = connection->framer.state();
    const QList<RequestFramer::Request> requests =
        connection->framer.feed(socket->peek(socket->bytesAvailable()));
    // A deadline runs from where a state began, not from the last byte.
    if (!requests.isEmpty() || connection->framer.state() != before) {
        connection->since_ms = m_clock.elapsed();
    }
    for (const RequestFramer::Request& request : requests) {
        if (request.head.status != 0) {
            refuse(socket, request.head.status, request.head.error);
            return;
        }
        connection->ready.push_back(request);
        if (connection->answering_ms < 0) {
            connection->answering_ms = m_clock.elapsed();
        }
    }
}

void WebListener::written(QTcpSocket* socket) {
    Connection* connection = find(socket);
    if (connection && connection->closing && !connection->shut && socket->bytesToWrite() == 0) {
        // The answer is out: the client reads it and closes. Closed here with
        // its bytes still coming, the kernel would reset the connection and
        // the answer could be lost; TLS ends with its own close.
        connection->shut = true;
        if (qobject_cast<QSslSocket*>(socket)) {
            socket->disconnectFromHost();
        } else {
            ::shutdown(static_cast<int>(socket->socketDescriptor()), SHUT_WR);
        }
        return;
    }
    if (connection && connection->answering_ms >= 0 && connection->ready.empty() &&
        socket->bytesToWrite() == 0) {
        connection->answering_ms = -1;
        connection->used = true;
        if (connection->framer.state() == RequestFramer::State::Between) {
            connection->since_ms = m_clock.elapsed();
        }
    }
}

std::optional<RequestFramer::Request> WebListener::take(QTcpSocket* socket) {
    Connection* connection = find(socket);
    if (!connection || connection->closing || connection->ready.empty()) {
        return std::nullopt;
    }
    RequestFramer::Request request = std::move(connection->ready.front());
    connection->ready.pop_front();
    return request;
}

void WebListener::refuse(QTcpSocket* socket, int status, const QString& error) {
    Connection* connection = find(socket);
    if (connection && connection->closing) {
        return;
    }
    // Qt's server reads after this: it must find nothing of the request.
    socket->skip(socket->bytesAvailable());
    socket->write(refusal(status, error, qobject_cast<QSslSocket*>(socket) != nullptr));
    if (connection) {
        connection->closing = true;
        connection->since_ms = m_clock.elapsed();
    } else {
        socket->disconnectFromHost();
    }
}

void WebListener::release(QTcpSocket* socket) {
    // Qt's server hands the socket to its WebSocket server once this returns,
    // and stops reading it here; one it keeps is closed at the deadline.
    QMetaObject::invokeMethod(
        this,
        [this, socket = QPointer<QTcpSocket>(socket)] {
            const Connection* connection = socket ? find(socket) : nullptr;
            if (connection && !connection->reading) {
                forget(socket);
            }
        },
        Qt::QueuedConnection);
}

bool WebListener::make_room() {
    // A refused one first, then the longest idle, then the slowest to send
    // its request (a new one that has sent nothing yet is one of those);
    // never one that waits for its answer.
    QTcpSocket* chosen = nullptr;
    std::pair<int, qint64> first;
    for (const auto& [socket, connection] : m_connections) {
        const RequestFramer::State state = connection->framer.state();
        const bool idle = state == RequestFramer::State::Between && connection->used;
        const bool held = connection->answering_ms >= 0 || state == RequestFramer::State::Upgraded;
        const int rank = connection->closing ? 0 : idle ? 1 : held ? 3 : 2;
        const std::pair<int, qint64> order{rank, connection->since_ms};
        if (rank < 3 && (!chosen || order < first)) {
            chosen = socket;
            first = order;
        }
    }
    if (chosen) {
        drop(chosen);
    }
    return chosen != nullptr;
}

void WebListener::sweep() {
    const qint64 now = m_clock.elapsed();
    std::vector<QTcpSocket*> late;
    std::vector<QTcpSocket*> gone;
    for (const auto& [socket, connection] : m_connections) {
        const RequestFramer::State state = connection->framer.state();
        const bool reading =
            state == RequestFramer::State::Head || state == RequestFramer::State::Body;
        const bool idle = state == RequestFramer::State::Between && connection->used;
        if (connection->closing) {
            // Long enough for a client to read its answer and close.
            if (now - connection->since_ms > m_deadline_ms / 5) {
                gone.push_back(socket);
            }
        } else if (connection->answering_ms >= 0) {
            if (now - connection->answering_ms > AnswerMs) {
                gone.push_back(socket);
            }
        } else if (now - connection->since_ms > (idle ? IdleMs : m_deadline_ms)) {
            (reading ? late : gone).push_back(socket);
        }
    }
    for (QTcpSocket* socket : late) {
        refuse(socket, 408,
               QStringLiteral("the request took longer than %1 ms").arg(m_deadline_ms));
    }
    for (QTcpSocket* socket : gone) {
        drop(socket);
    }
    if (m_connections.empty()) {
        m_sweep.stop();
    }
}

void WebListener::drop(QTcpSocket* socket) {
    forget(socket);
    socket->abort();
    // Qt's server deletes its sockets when they close, unless it gave up on one.
    socket->deleteLater();
}

void WebListener::forget(QTcpSocket* socket) {
    const auto it = m_connections.find(socket);
    if (it == m_connections.end()) {
        return;
    }
    const QByteArray client = it->second->client;
    m_connections.erase(it);
    if (--m_per_client[client] <= 0) {
        m_per_client.remove(client);
    }
}

}  // namespace relay
