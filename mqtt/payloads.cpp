#include "mqtt/payloads.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace relay {

namespace {

// The software behind the entities, for Home Assistant's log and repairs.
QJsonObject origin() {
    QJsonObject software{{QStringLiteral("name"), QStringLiteral("relayd")},
                         {QStringLiteral("sw_version"), QStringLiteral(RELAY_VERSION)}};
    if (const QString url = QStringLiteral(RELAY_SUPPORT_URL); !url.isEmpty()) {
        software.insert(QStringLiteral("support_url"), url);
    }
    return software;
}

QJsonObject board_device(const Topics& topics, const BoardNames& names, std::uint8_t address) {
    return {
        {QStringLiteral("identifiers"), QJsonArray{topics.device_id(address)}},
        {QStringLiteral("name"), board_display_name(names, address)},
        {QStringLiteral("model"), QStringLiteral("16-channel serial relay board")},
        {QStringLiteral("via_device"), topics.bridge_device_id()},
    };
}

// What a channel's entities have in common: the board's device, available
// only while both the bridge and the board are.
QJsonObject channel_entity(const Topics& topics, const BoardNames& names, std::uint8_t address,
                           const QString& name, const QString& id, const QString& domain) {
    return {
        {QStringLiteral("name"), name},
        {QStringLiteral("unique_id"), id},
        // Home Assistant 2025.10 and later; object_id is gone since 2026.4.
        // Sent as the slug it would make of it, so the docs' ids are the ones.
        {QStringLiteral("default_entity_id"), domain + QLatin1Char('.') + entity_slug(id)},
        {QStringLiteral("qos"), 1},
        {QStringLiteral("retain"), false},
        {QStringLiteral("availability_mode"), QStringLiteral("all")},
        {QStringLiteral("availability"),
         QJsonArray{QJsonObject{{QStringLiteral("topic"), topics.bridge_status()}},
                    QJsonObject{{QStringLiteral("topic"), topics.board_availability(address)}}}},
        {QStringLiteral("device"), board_device(topics, names, address)},
        {QStringLiteral("origin"), origin()},
    };
}

QByteArray compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

}  // namespace

QByteArray discovery_payload(const Topics& topics, const BoardNames& names, std::uint8_t address,
                             int channel) {
    QJsonObject config =
        channel_entity(topics, names, address, channel_display_name(names, channel),
                       topics.entity_id(address, channel), QStringLiteral("switch"));
    config.insert(QStringLiteral("command_topic"), topics.channel_command(address, channel));
    config.insert(QStringLiteral("state_topic"), topics.channel_state(address, channel));
    config.insert(QStringLiteral("payload_on"), QStringLiteral("ON"));
    config.insert(QStringLiteral("payload_off"), QStringLiteral("OFF"));
    config.insert(QStringLiteral("state_on"), QStringLiteral("ON"));
    config.insert(QStringLiteral("state_off"), QStringLiteral("OFF"));
    config.insert(QStringLiteral("optimistic"), false);
    return compact(config);
}

QByteArray button_payload(const Topics& topics, const BoardNames& names, std::uint8_t address,
                          int channel) {
    QJsonObject config = channel_entity(
        topics, names, address, channel_display_name(names, channel) + QStringLiteral(" 点动"),
        topics.button_id(address, channel), QStringLiteral("button"));
    config.insert(QStringLiteral("command_topic"), topics.channel_command(address, channel));
    config.insert(QStringLiteral("payload_press"), QStringLiteral("PULSE"));
    return compact(config);
}

QByteArray runtime_payload(const Topics& topics, const BoardNames& names, std::uint8_t address,
                           int channel, bool energised) {
    QJsonObject config =
        channel_entity(topics, names, address,
                       channel_display_name(names, channel) +
                           (energised ? QStringLiteral(" 吸合时间") : QStringLiteral(" 切换次数")),
                       topics.runtime_id(address, channel, energised), QStringLiteral("sensor"));
    config.remove(QStringLiteral("retain"));
    config.insert(QStringLiteral("state_topic"), topics.channel_runtime(address, channel));
    config.insert(QStringLiteral("entity_category"), QStringLiteral("diagnostic"));
    config.insert(QStringLiteral("state_class"), QStringLiteral("total_increasing"));
    if (energised) {
        config.insert(QStringLiteral("device_class"), QStringLiteral("duration"));
        config.insert(QStringLiteral("unit_of_measurement"), QStringLiteral("s"));
        config.insert(QStringLiteral("value_template"),
                      QStringLiteral("{{ value_json.energised_s }}"));
    } else {
        config.insert(QStringLiteral("value_template"),
                      QStringLiteral("{{ value_json.switches }}"));
    }
    return compact(config);
}

QByteArray bridge_payload(const Topics& topics) {
    const QString id = topics.bridge_device_id();
    return compact({
        {QStringLiteral("name"), QStringLiteral("Connection")},
        {QStringLiteral("unique_id"), id + QStringLiteral("_connection")},
        {QStringLiteral("default_entity_id"),
         QStringLiteral("binary_sensor.") + entity_slug(id + QStringLiteral("_connection"))},
        {QStringLiteral("device_class"), QStringLiteral("connectivity")},
        {QStringLiteral("entity_category"), QStringLiteral("diagnostic")},
        {QStringLiteral("state_topic"), topics.bridge_status()},
        {QStringLiteral("payload_on"), QStringLiteral("online")},
        {QStringLiteral("payload_off"), QStringLiteral("offline")},
        {QStringLiteral("qos"), 1},
        {QStringLiteral("device"),
         QJsonObject{{QStringLiteral("identifiers"), QJsonArray{id}},
                     {QStringLiteral("name"), QStringLiteral("relayd ") + topics.node()},
                     {QStringLiteral("model"), QStringLiteral("relayd serial line bridge")},
                     {QStringLiteral("sw_version"), QStringLiteral(RELAY_VERSION)}}},
        {QStringLiteral("origin"), origin()},
    });
}

}  // namespace relay
