#include "bridge/payloads.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace relay {

QString board_display_name(const BoardNames& names, std::uint8_t address) {
    return QStringLiteral("%1 %2").arg(names.title).arg(address);
}

QString channel_display_name(const BoardNames& names, int channel) {
    const QString stored = names.channels.value(channel - 1).trimmed();
    // The panel's own default names, for a board without stored ones.
    return stored.isEmpty() ? QStringLiteral("第%1路").arg(channel) : stored;
}

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

QByteArray board_document(const BoardState& board, const BoardNames& names,
                          const QDateTime& last_reply) {
    QJsonArray channels;
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        QJsonValue state;
        if (board.channels) {
            state = QString::fromLatin1(on_off(*board.channels & (1u << (channel - 1))));
        }
        channels.append(QJsonObject{{QStringLiteral("channel"), channel},
                                    {QStringLiteral("name"), names.channels.value(channel - 1)},
                                    {QStringLiteral("state"), state}});
    }
    const QJsonObject document{
        {QStringLiteral("address"), board.address},
        {QStringLiteral("name"), board_display_name(names, board.address)},
        {QStringLiteral("availability"), board.availability == Availability::Online
                                             ? QStringLiteral("online")
                                             : QStringLiteral("offline")},
        {QStringLiteral("last_reply"),
         last_reply.isValid() ? QJsonValue(last_reply.toString(Qt::ISODateWithMs)) : QJsonValue()},
        {QStringLiteral("channels"), channels},
    };
    return QJsonDocument(document).toJson(QJsonDocument::Compact);
}

QByteArray on_off(bool on) {
    return on ? QByteArrayLiteral("ON") : QByteArrayLiteral("OFF");
}

}  // namespace relay
