#pragma once

#include "web/request_framer.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>
#include <QTimer>

#include <memory>
#include <optional>
#include <unordered_map>

class QTcpServer;
class QTcpSocket;

namespace relay {

// A client as the limits count it: an address, or for IPv6 its /64, which
// one household or machine usually has to itself.
QByteArray client_of(const QHostAddress& address);

// The web side's listening sockets, with what Qt's HTTP server leaves to its
// user. Every byte is read here first, strictly (RequestFramer), before Qt's
// server reads it: a refused request is answered and closed here and Qt never
// sees it. Each head and each body has a deadline that a trickle cannot
// extend; a client has only so many connections, and when all are taken the
// longest idle one (else the slowest to send its request) makes room for a
// newcomer.
class WebListener : public QObject {
    Q_OBJECT
public:
    static constexpr int MostConnections = 512;
    // A browser opens up to 6 per host; several people behind one NAT.
    static constexpr int MostPerClient = 32;
    static constexpr qint64 MostBufferedBytes = 64 * 1024;
    // A whole head (from the connection or its first byte), then a whole body.
    static constexpr int DeadlineMs = 10000;
    // From a request's end to its answer written: a command waits for the board.
    static constexpr int AnswerMs = 30000;
    // A keep-alive connection between requests.
    static constexpr int IdleMs = 120000;

    explicit WebListener(QObject* parent = nullptr);
    ~WebListener() override;

    // A listening server for address:port, not yet bound to the HTTP server;
    // nullptr and why when it cannot listen.
    QTcpServer* listen(const QHostAddress& address, quint16 port,
                       const std::optional<QSslConfiguration>& tls, QString* error);

    // The request Qt's server is serving on socket, as read here; nothing
    // when none was (the two readers disagree: refuse it).
    std::optional<RequestFramer::Request> take(QTcpSocket* socket);
    // Answers status and closes the connection; what was sent after is dropped.
    void refuse(QTcpSocket* socket, int status, const QString& error);
    // A WebSocket handshake being handed to Qt's WebSocket server.
    void release(QTcpSocket* socket);

private:
    struct Connection;

    void guard(QTcpSocket* socket);
    void read(QTcpSocket* socket);
    void written(QTcpSocket* socket);
    void sweep();
    bool make_room();
    void drop(QTcpSocket* socket);
    void forget(QTcpSocket* socket);
    Connection* find(QTcpSocket* socket);

    int m_deadline_ms = DeadlineMs;
    QElapsedTimer m_clock;
    QTimer m_sweep;
    std::unordered_map<QTcpSocket*, std::unique_ptr<Connection>> m_connections;
    QHash<QByteArray, int> m_per_client;
};

}  // namespace relay
