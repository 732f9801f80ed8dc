#pragma once

#include "relayd/relay_bridge.h"
#include "web/history_api.h"
#include "web/live_streams.h"
#include "web/web_auth.h"
#include "web/web_options.h"
#include "web/web_request.h"

#include <QAbstractHttpServer>
#include <QHash>

#include <memory>

namespace relay {

class WebListener;

// relayd's web side: the page, the JSON API and the live streams, beside the
// MQTT adapter on the same bridge. Reading a command, carrying it out and its
// error event are the bridge's and the core's, as for MQTT.
class WebServer : public QAbstractHttpServer {
    Q_OBJECT
public:
    WebServer(RelayBridge& bridge, WebOptions options, QObject* parent = nullptr);
    ~WebServer() override;

    // Users, TLS and the listening sockets; an exit status other than 0 and
    // why when it cannot.
    int start(QString* error);
    // Where the page is, for the log.
    QString address_text() const;
    // The history's API and the channels' counters for /metrics.
    void set_history(HistoryRecorder* recorder);
    // For /metrics: whether MQTT is connected, nothing when it is off.
    void set_mqtt_state(std::function<std::optional<bool>()> connected) {
        m_mqtt_connected = std::move(connected);
    }

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    using Held = std::shared_ptr<struct WebExchange>;

    void on_live();
    void serve_api(const Held& exchange, const WebRequest& wanted, const WebIdentity& identity);
    void login(const Held& exchange, const WebRequest& wanted);
    void switch_channels(const Held& exchange, const WebRequest& wanted, const QString& user);
    void serve_schedules(const Held& exchange, const WebRequest& wanted,
                         const WebIdentity& identity);
    void session(const Held& exchange);
    // The identity, at once from a cookie or later from a Basic login.
    void authorize(const Held& exchange, const std::function<void(const WebIdentity&)>& then);
    bool own_origin(const QByteArray& origin, const QByteArray& host) const;
    bool loopback_host(const QByteArray& host) const;
    QByteArray asset(const QString& name) const;

    RelayBridge& m_bridge;
    const WebOptions m_options;
    WebAuth m_auth;
    LiveStreams m_live;
    std::unique_ptr<WebListener> m_listener;
    HistoryApi m_history;
    HistoryRecorder* m_recorder = nullptr;
    std::function<std::optional<bool>()> m_mqtt_connected;
    bool m_tls = false;
};

}  // namespace relay
