#include "bridge/payloads.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace relay {

QByteArray discovery_payload(const Topics& topics, const BoardNames& names, std::uint8_t address,
                             int channel) {
    const QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{topics.device_id(address)}},
        {QStringLiteral("name"), board_display_name(names, address)},
        {QStringLiteral("model"), QStringLiteral("16-channel serial relay board")},
        {QStringLiteral("via_device"), topics.bridge_device_id()},
    };
    const QJsonObject config{
        {QStringLiteral("name"), channel_display_name(names, channel)},
        {QStringLiteral("unique_id"), topics.entity_id(address, channel)},
        {QStringLiteral("object_id"), topics.entity_id(address, channel)},
        {QStringLiteral("command_topic"), topics.channel_command(address, channel)},
        {QStringLiteral("state_topic"), topics.channel_state(address, channel)},
        {QStringLiteral("payload_on"), QStringLiteral("ON")},
        {QStringLiteral("payload_off"), QStringLiteral("OFF")},
        {QStringLiteral("state_on"), QStringLiteral("ON")},
        {QStringLiteral("state_off"), QStringLiteral("OFF")},
        {QStringLiteral("optimistic"), false},
        {QStringLiteral("retain"), false},
        {QStringLiteral("qos"), 1},
        {QStringLiteral("availability_mode"), QStringLiteral("all")},
        {QStringLiteral("availability"),
         QJsonArray{QJsonObject{{QStringLiteral("topic"), topics.bridge_status()}},
                    QJsonObject{{QStringLiteral("topic"), topics.board_availability(address)}}}},
        {QStringLiteral("device"), device},
    };
    return QJsonDocument(config).toJson(QJsonDocument::Compact);
}

}  // namespace relay
