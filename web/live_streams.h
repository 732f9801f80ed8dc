#pragma once

#include "relayd/relay_bridge.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

class QWebSocket;

namespace relay {

// The web page's live streams: every board's document on connect, then each
// change as it happens, and the state of the line. Clients only listen.
class LiveStreams : public QObject {
    Q_OBJECT
public:
    static constexpr int MostClients = 256;
    // A page has one; a few people behind one address, a few tabs each.
    static constexpr int MostPerClient = 16;
    static constexpr int PingMs = 30000;
    // A client this far behind is dropped rather than buffered without end.
    static constexpr qint64 MostUnsent = 1 << 20;

    explicit LiveStreams(RelayBridge& bridge, QObject* parent = nullptr);
    ~LiveStreams() override;

    // Takes an accepted connection and sends it everything.
    void add(std::unique_ptr<QWebSocket> socket);
    int count() const { return static_cast<int>(m_clients.size()); }

    // Every document and the line, as sent on connect.
    QByteArray hello() const;
    // The schedule's entries, their next runs and the clock, sent on connect and on change.
    QByteArray schedules_message() const;

    // Closes with code and reason, once Qt has read what came with the handshake.
    static void refuse(std::unique_ptr<QWebSocket> socket, int code, const QString& reason);

private:
    struct Client;

    void broadcast(const QByteArray& message);
    void ping();
    void drop(QWebSocket* socket);

    RelayBridge& m_bridge;
    QTimer m_ping;
    QElapsedTimer m_clock;
    std::vector<std::unique_ptr<Client>> m_clients;
};

}  // namespace relay
