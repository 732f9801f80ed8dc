#include "web/live_streams.h"

#include "web/web_listener.h"

#include <QJsonDocument>
#include <QWebSocket>

#include <algorithm>

namespace relay {

namespace {

QByteArray line_message(bool open) {
    return QByteArrayLiteral("{\"type\":\"line\",\"line\":\"") + (open ? "open" : "lost") + "\"}";
}

}  // namespace

struct LiveStreams::Client {
    std::unique_ptr<QWebSocket> socket;
    QByteArray client;
    qint64 heard_ms = 0;  // the last pong
};

LiveStreams::LiveStreams(RelayBridge& bridge, QObject* parent) : QObject(parent), m_bridge(bridge) {
    m_clock.start();
    m_ping.setInterval(PingMs);
    connect(&m_ping, &QTimer::timeout, this, &LiveStreams::ping);
    connect(&m_bridge, &RelayBridge::board_changed, this, [this](std::uint8_t address) {
        broadcast(QByteArrayLiteral("{\"type\":\"board\",\"board\":") + m_bridge.document(address) +
                  '}');
    });
    connect(&m_bridge, &RelayBridge::line_changed, this,
            [this](bool open) { broadcast(line_message(open)); });
    connect(&m_bridge, &RelayBridge::boards_found, this, [this] { broadcast(hello()); });
    connect(&m_bridge.schedules(), &ScheduleRunner::changed, this,
            [this] { broadcast(schedules_message()); });
}

LiveStreams::~LiveStreams() {
    for (const auto& client : m_clients) {
        client->socket->disconnect(this);
        client->socket->abort();
    }
}

QByteArray LiveStreams::hello() const {
    QByteArray boards;
    for (const BoardState& board : m_bridge.boards()) {
        boards += (boards.isEmpty() ? "" : ",") + m_bridge.document(board.address);
    }
    // A node id holds only letters, digits, _ and -.
    return QByteArrayLiteral("{\"type\":\"hello\",\"node\":\"") +
           m_bridge.options().node_id.toUtf8() + "\",\"line\":\"" +
           (m_bridge.line_open() ? "open" : "lost") + "\",\"boards\":[" + boards + "]}";
}

QByteArray LiveStreams::schedules_message() const {
    QJsonObject message = m_bridge.schedules().listing();
    message.insert(QStringLiteral("type"), QStringLiteral("schedules"));
    return QJsonDocument(message).toJson(QJsonDocument::Compact);
}

void LiveStreams::refuse(std::unique_ptr<QWebSocket> socket, int code, const QString& reason) {
    // Closed at once, Qt's socket would go on to read a closed device, and warn.
    QWebSocket* raw = socket.release();
    QMetaObject::invokeMethod(
        raw,
        [raw, code, reason] {
            raw->close(static_cast<QWebSocketProtocol::CloseCode>(code), reason);
            raw->deleteLater();
        },
        Qt::QueuedConnection);
}

void LiveStreams::add(std::unique_ptr<QWebSocket> socket) {
    const QByteArray client = client_of(socket->peerAddress());
    if (count() >= MostClients ||
        std::count_if(m_clients.begin(), m_clients.end(), [&client](const auto& other) {
            return other->client == client;
        }) >= MostPerClient) {
        refuse(std::move(socket), 1013, QStringLiteral("too many live streams"));
        return;
    }
    QWebSocket* raw = socket.get();
    // The page sends nothing; anything large is somebody else.
    raw->setMaxAllowedIncomingFrameSize(1024);
    raw->setMaxAllowedIncomingMessageSize(1024);
    connect(raw, &QWebSocket::disconnected, this, [this, raw] { drop(raw); });
    connect(raw, &QWebSocket::pong, this, [this, raw] {
        for (const auto& client : m_clients) {
            if (client->socket.get() == raw) {
                client->heard_ms = m_clock.elapsed();
            }
        }
    });
    m_clients.push_back(
        std::make_unique<Client>(Client{std::move(socket), client, m_clock.elapsed()}));
    raw->sendTextMessage(QString::fromUtf8(hello()));
    raw->sendTextMessage(QString::fromUtf8(schedules_message()));
    if (!m_ping.isActive()) {
        m_ping.start();
    }
}

void LiveStreams::broadcast(const QByteArray& message) {
    const QString text = QString::fromUtf8(message);
    std::vector<QWebSocket*> behind;
    for (const auto& client : m_clients) {
        client->socket->sendTextMessage(text);
        if (client->socket->bytesToWrite() > MostUnsent) {
            behind.push_back(client->socket.get());
        }
    }
    for (QWebSocket* socket : behind) {
        socket->abort();
    }
}

void LiveStreams::ping() {
    const qint64 now = m_clock.elapsed();
    std::vector<QWebSocket*> gone;
    for (const auto& client : m_clients) {
        // Two pings unanswered: the client went away without a word.
        if (now - client->heard_ms > 2 * PingMs + PingMs / 2) {
            gone.push_back(client->socket.get());
        } else {
            client->socket->ping();
        }
    }
    for (QWebSocket* socket : gone) {
        socket->abort();
    }
    if (m_clients.empty()) {
        m_ping.stop();
    }
}

void LiveStreams::drop(QWebSocket* socket) {
    const auto it = std::find_if(m_clients.begin(), m_clients.end(), [socket](const auto& client) {
        return client->socket.get() == socket;
    });
    if (it != m_clients.end()) {
        (*it)->socket->disconnect(this);
        (*it)->socket.release()->deleteLater();
        m_clients.erase(it);
    }
}

}  // namespace relay
