#include "controller/board_document.h"

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

QByteArray board_document(const BoardState& board, const BoardNames& names,
                          const QDateTime& last_reply, const PulseLengths& pulses) {
    QJsonArray channels;
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        QJsonValue state;
        if (board.channels) {
            state = QString::fromLatin1(on_off(*board.channels & (1u << (channel - 1))));
        }
        QJsonObject entry{{QStringLiteral("channel"), channel},
                          {QStringLiteral("name"), names.channels.value(channel - 1)},
                          {QStringLiteral("state"), state}};
        if (const int ms = pulses[static_cast<std::size_t>(channel - 1)]; ms > 0) {
            entry.insert(QStringLiteral("pulse_ms"), ms);
        }
        channels.append(entry);
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
