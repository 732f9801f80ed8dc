#include "mqtt/mqtt_adapter.h"

#include "mqtt/payloads.h"
#include "protocol/option_text.h"

#include <QJsonDocument>

#include <utility>

#include "relayd/log_line.h"

namespace relay {

MqttAdapter::MqttAdapter(RelayBridge& bridge, MqttOptions options, QObject* parent)
    : QObject(parent),
      m_bridge(bridge),
      m_options(std::move(options)),
      m_topics(m_options.base_topic, bridge.options().node_id, m_options.discovery_prefix),
      m_mqtt([this] {
          MqttSettings settings = m_options.broker;
          settings.will_topic = m_topics.bridge_status();
          settings.will_payload = QByteArrayLiteral("offline");
          return settings;
      }()) {
    m_clock.start();
    connect(&m_mqtt, &MqttClient::connected, this, &MqttAdapter::on_connected);
    connect(&m_mqtt, &MqttClient::disconnected, this,
            [this](const QString& reason) { log_line(QStringLiteral("broker: %1").arg(reason)); });
    connect(&m_mqtt, &MqttClient::connect_failed, this, &MqttAdapter::on_connect_failed);
    connect(&m_mqtt, &MqttClient::message_received, this, &MqttAdapter::on_message);
    connect(&m_bridge, &RelayBridge::board_changed, this,
            [this](std::uint8_t address) { publish_board(address, false); });
    connect(&m_bridge, &RelayBridge::names_changed, this,
            [this](std::uint8_t address) { publish_board(address, true); });
    connect(&m_bridge, &RelayBridge::boards_found, this, [this] {
        if (m_mqtt.is_connected()) {
            on_connected();
        }
    });
    connect(&m_bridge.schedules(), &ScheduleRunner::ran, this,
            [this](const QJsonObject& event) { publish_event(m_topics.schedule_runs(), event); });
    connect(&m_bridge, &RelayBridge::command_failed, this,
            [this](const QJsonObject& event) { publish_event(m_topics.errors(), event); });
}

void MqttAdapter::start() {
    m_mqtt.start();
    if (m_options.ha_runtime) {
        m_runtime.setInterval(RuntimeEveryMs);
        connect(&m_runtime, &QTimer::timeout, this, &MqttAdapter::publish_runtime);
        m_runtime.start();
    }
}

void MqttAdapter::publish_runtime() {
    if (!m_options.ha_runtime || !m_history || !m_mqtt.is_connected()) {
        return;
    }
    for (const BoardState& board : m_bridge.boards()) {
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            const auto totals = m_history->counters().totals(board.address, channel);
            publish_retained(
                m_topics.channel_runtime(board.address, channel),
                QJsonDocument(
                    QJsonObject{{QStringLiteral("energised_s"),
                                 static_cast<qint64>(totals.energised_ms / 1000)},
                                {QStringLiteral("switches"), static_cast<qint64>(totals.switches)}})
                    .toJson(QJsonDocument::Compact));
        }
    }
}

void MqttAdapter::stop() {
    if (m_mqtt.is_connected()) {
        for (const BoardState& board : m_bridge.boards()) {
            m_mqtt.publish(m_topics.board_availability(board.address), "offline", true);
        }
        m_mqtt.publish(m_topics.bridge_status(), "offline", true);
    }
    m_mqtt.stop();
}

void MqttAdapter::on_connected() {
    log_line(QStringLiteral("broker %1:%2 connected")
                 .arg(m_options.broker.host)
                 .arg(m_options.broker.port));
    m_refusal.clear();
    // The broker may have lost everything: publish it all again.
    m_published.clear();
    for (const QString& filter : m_topics.command_filters()) {
        m_mqtt.subscribe(filter);
    }
    for (const QString& filter : m_topics.discovery_filters()) {
        m_mqtt.subscribe(filter);
    }
    m_mqtt.subscribe(m_topics.discovery_status());
    m_mqtt.publish(m_topics.bridge_status(), "online", true);
    publish_discovery();
    publish_runtime();
    const auto backlog = std::exchange(m_backlog, {});
    for (const auto& [topic, payload] : backlog) {
        m_mqtt.publish(topic, payload, false);
    }
}

void MqttAdapter::on_connect_failed(const QString& reason) {
    if (m_options.fail_fast) {
        log_line(QStringLiteral("broker: %1").arg(reason));
        Q_EMIT fatal(exit_code::Broker);
        return;
    }
    // One line per attempt would flood the journal while the broker is down.
    const qint64 now = m_clock.elapsed();
    if (reason != m_refusal || m_refusal_logged_ms < 0 || now - m_refusal_logged_ms >= 30000) {
        log_line(QStringLiteral("broker: %1; retrying").arg(reason));
        m_refusal = reason;
        m_refusal_logged_ms = now;
    }
}

void MqttAdapter::on_message(const QString& topic, const QByteArray& payload, bool retained) {
    if (topic == m_topics.discovery_status()) {
        if (payload.trimmed() == "online") {
            log_line(QStringLiteral("Home Assistant is online: discovery sent again"));
            publish_discovery();
        }
        return;
    }
    if (const auto place = m_topics.discovery_place(topic)) {
        // A config of ours for a board no longer served, or a pulse no
        // longer configured: remove the entity.
        const bool pulsed = m_bridge.options()
                                .rules.board(place->address)
                                .pulse_ms[std::size_t(place->channel - 1)] > 0;
        const bool wanted = m_bridge.board(place->address) && (!place->button || pulsed) &&
                            (!place->sensor || m_options.ha_runtime);
        if (!payload.isEmpty() && !m_bridge.board(place->address)) {
            // Not served (or not found yet): nothing confirms what was retained.
            publish_retained(m_topics.board_availability(place->address), "offline");
        }
        if (!payload.isEmpty() && !wanted && !m_bridge.scanning()) {
            log_line(QStringLiteral("removing the discovery config %1").arg(topic));
            m_mqtt.publish(topic, QByteArray(), true);
        }
        return;
    }
    command(topic, payload, retained);
}

void MqttAdapter::command(const QString& topic, const QByteArray& payload, bool retained) {
    const CommandSource source{QStringLiteral("topic"), topic, payload, QStringLiteral("mqtt"), {}};
    const CommandReading reading = read_command(m_topics, topic, payload, retained);
    if (!reading.command) {
        m_bridge.refuse(source, reading.refusal);
        return;
    }
    // The outcome is told through command_failed, for every source alike.
    m_bridge.submit(*reading.command, source, [](const CommandOutcome&, const QJsonObject&) {});
}

void MqttAdapter::publish_event(const QString& topic, const QJsonObject& event) {
    const QByteArray payload = QJsonDocument(event).toJson(QJsonDocument::Compact);
    if (m_mqtt.publish(topic, payload, false)) {
        return;
    }
    // Told when the broker is back, with their own times: the first runs of a
    // schedule happen before relayd has reached it.
    m_backlog.append({topic, payload});
    while (m_backlog.size() > MostBacklog) {
        m_backlog.removeFirst();
    }
}

void MqttAdapter::publish_discovery() {
    // The bridge's own device first: the boards name it as their via_device.
    m_published.remove(m_topics.bridge_config());
    publish_retained(m_topics.bridge_config(), bridge_payload(m_topics));
    for (const BoardState& board : m_bridge.boards()) {
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            m_published.remove(m_topics.discovery_config(board.address, channel));
            m_published.remove(m_topics.button_config(board.address, channel));
            for (const bool energised : {true, false}) {
                m_published.remove(m_topics.runtime_config(board.address, channel, energised));
            }
        }
        publish_board(board.address, true);
    }
}

void MqttAdapter::publish_board(std::uint8_t address, bool discovery) {
    const BoardState* board = m_bridge.board(address);
    if (!board || !m_mqtt.is_connected()) {
        return;
    }
    if (discovery) {
        const BoardNames& names = m_bridge.names(address);
        const PulseLengths& pulses = m_bridge.options().rules.board(address).pulse_ms;
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            publish_retained(m_topics.discovery_config(address, channel),
                             discovery_payload(m_topics, names, address, channel));
            if (pulses[static_cast<std::size_t>(channel - 1)] > 0) {
                publish_retained(m_topics.button_config(address, channel),
                                 button_payload(m_topics, names, address, channel));
            }
            for (const bool energised : {true, false}) {
                if (m_options.ha_runtime) {
                    publish_retained(m_topics.runtime_config(address, channel, energised),
                                     runtime_payload(m_topics, names, address, channel, energised));
                }
            }
        }
    }
    // Not yet confirmed is offline: an online retained from before a crash
    // must not stand while nothing on the line confirms it.
    const bool online = board->availability == Availability::Online;
    publish_retained(m_topics.board_availability(address), online ? "online" : "offline");
    if (board->channels) {
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            publish_retained(m_topics.channel_state(address, channel),
                             on_off(*board->channels & (1u << (channel - 1))));
        }
    }
    publish_retained(m_topics.board_document(address), m_bridge.document(address));
}

void MqttAdapter::publish_retained(const QString& topic, const QByteArray& payload) {
    const auto it = m_published.constFind(topic);
    if (it != m_published.constEnd() && *it == payload) {
        return;
    }
    if (m_mqtt.publish(topic, payload, true)) {
        m_published.insert(topic, payload);
    }
}

}  // namespace relay
