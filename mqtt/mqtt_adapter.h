#pragma once

#include "history/history_recorder.h"
#include "mqtt/mqtt_client.h"
#include "mqtt/mqtt_options.h"
#include "mqtt/topics.h"
#include "relayd/relay_bridge.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>

namespace relay {

// relayd on the broker: the boards' availability, states and documents
// retained, Home Assistant discovery, commands from the set topics, and an
// error event for every command refused or failed, whatever its source.
class MqttAdapter : public QObject {
    Q_OBJECT
public:
    // Events kept while the broker is away.
    static constexpr int MostBacklog = 100;
    // --ha-runtime: counters published at most this often.
    static constexpr int RuntimeEveryMs = 60000;

    MqttAdapter(RelayBridge& bridge, MqttOptions options, QObject* parent = nullptr);

    // The runtime counters for --ha-runtime.
    void set_history(const HistoryRecorder* recorder) { m_history = recorder; }
    void start();
    bool connected() const { return m_mqtt.is_connected(); }
    // Publishes offline for every board and the bridge, then disconnects.
    void stop();

Q_SIGNALS:
    // --fail-fast and the broker unreachable or refusing.
    void fatal(int code);

private:
    void on_connected();
    void on_connect_failed(const QString& reason);
    void on_message(const QString& topic, const QByteArray& payload, bool retained);
    void command(const QString& topic, const QByteArray& payload, bool retained);
    void publish_board(std::uint8_t address, bool discovery);
    void publish_discovery();
    // Retained; only what differs from what was last published.
    void publish_retained(const QString& topic, const QByteArray& payload);
    void publish_event(const QString& topic, const QJsonObject& event);
    // Each channel's counters, those that changed.
    void publish_runtime();

    RelayBridge& m_bridge;
    const MqttOptions m_options;
    Topics m_topics;
    MqttClient m_mqtt;
    QElapsedTimer m_clock;
    QHash<QString, QByteArray> m_published;
    QList<QPair<QString, QByteArray>> m_backlog;
    const HistoryRecorder* m_history = nullptr;
    QTimer m_runtime;
    QString m_refusal;  // the last connection failure logged
    qint64 m_refusal_logged_ms = -1;
};

}  // namespace relay
