#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>
#include <QTimer>

#include <optional>

class QTcpServer;
class QTcpSocket;

namespace relay {

// The web side's listening sockets, with what Qt's HTTP server leaves to its
// user: a request's bytes are bounded, a body announced larger than the limit
// is answered 413 at once, idle connections are closed, and there are only so
// many at a time.
class WebListener : public QObject {
    Q_OBJECT
public:
    static constexpr int MostConnections = 512;
    static constexpr qint64 MostBufferedBytes = 64 * 1024;
    // The browsers' own keep-alive is shorter; live streams answer pings.
    static constexpr int IdleMs = 120000;

    explicit WebListener(QObject* parent = nullptr);

    // A listening server for address:port, not yet bound to the HTTP server;
    // nullptr and why when it cannot listen.
    QTcpServer* listen(const QHostAddress& address, quint16 port,
                       const std::optional<QSslConfiguration>& tls, QString* error);

    // A connection that has become a live stream, which keeps itself alive.
    void release(QTcpSocket* socket) { m_heard_ms.remove(socket); }

private:
    void guard(QTcpSocket* socket);
    void check_announced_size(QTcpSocket* socket);
    void sweep();

    QElapsedTimer m_clock;
    QTimer m_sweep;
    QHash<QTcpSocket*, qint64> m_heard_ms;  // every connection and when it last sent
};

}  // namespace relay
