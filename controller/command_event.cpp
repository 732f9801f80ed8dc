#include "controller/command_event.h"

namespace relay {

QString shown_payload(const QByteArray& payload) {
    const QString text = QString::fromUtf8(payload.left(200));
    return payload.size() > 200 ? text + QStringLiteral("...") : text;
}

QJsonArray channel_list(ChannelBits bits) {
    QJsonArray channels;
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        if (bits & (1u << (channel - 1))) {
            channels.append(channel);
        }
    }
    return channels;
}

QJsonObject command_error_event(const CommandSource& source, const CommandOutcome& outcome,
                                std::uint8_t address, int timeout_ms, const QDateTime& time) {
    QJsonObject event{{QStringLiteral("time"), time.toString(Qt::ISODateWithMs)},
                      {QStringLiteral("error"), outcome.reason},
                      {source.field, source.where},
                      {QStringLiteral("payload"), shown_payload(source.payload)}};
    if (!source.user.isEmpty()) {
        event.insert(QStringLiteral("user"), source.user);
    }
    if (outcome.result != CommandOutcome::Result::Refused) {
        event.insert(QStringLiteral("address"), address);
        event.insert(QStringLiteral("channels"), channel_list(outcome.channels));
        event.insert(QStringLiteral("timeout_ms"), timeout_ms);
    }
    return event;
}

}  // namespace relay
