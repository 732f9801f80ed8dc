#include "controller/channel_command.h"

#include "protocol/option_text.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <cmath>

namespace relay {

namespace {

enum class Word { On, Off, Toggle, Pulse };

std::optional<Word> word_of(const QString& text) {
    const QString word = text.trimmed().toUpper();
    if (word == QLatin1String("ON")) {
        return Word::On;
    }
    if (word == QLatin1String("OFF")) {
        return Word::Off;
    }
    if (word == QLatin1String("TOGGLE")) {
        return Word::Toggle;
    }
    if (word == QLatin1String("PULSE")) {
        return Word::Pulse;
    }
    return std::nullopt;
}

void add(ChannelCommand& command, Word word, ChannelBits bits) {
    switch (word) {
        case Word::On:
            command.on |= bits;
            break;
        case Word::Off:
            command.off |= bits;
            break;
        case Word::Toggle:
            command.toggle |= bits;
            break;
        case Word::Pulse:
            command.pulse |= bits;
            break;
    }
}

CommandReading refuse(const QString& why) {
    return {std::nullopt, why};
}

std::optional<QJsonObject> json_object(const QByteArray& payload) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return std::nullopt;
    }
    return document.object();
}

}  // namespace

ChannelBits channel_bit(int channel) {
    return static_cast<ChannelBits>(1u << (channel - 1));
}

QString channel_text(ChannelBits bits) {
    QStringList channels;
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        if (bits & channel_bit(channel)) {
            channels.append(QString::number(channel));
        }
    }
    return channels.join(QStringLiteral(", "));
}

int channel_count(ChannelBits bits) {
    int n = 0;
    for (; bits; bits &= static_cast<ChannelBits>(bits - 1)) {
        ++n;
    }
    return n;
}

std::vector<ChannelAction> channel_actions(const ChannelCommand& command) {
    std::vector<ChannelAction> actions;
    for (const ChannelAction action :
         {ChannelAction{"on", command.on}, ChannelAction{"off", command.off},
          ChannelAction{"toggle", command.toggle}, ChannelAction{"pulse", command.pulse}}) {
        if (action.channels) {
            actions.push_back(action);
        }
    }
    return actions;
}

CommandReading read_channel_payload(std::uint8_t address, int channel, const QByteArray& payload) {
    ChannelCommand command;
    command.address = address;
    if (const auto word = word_of(QString::fromUtf8(payload))) {
        add(command, *word, channel_bit(channel));
        return {command, QString()};
    }
    const auto object = json_object(payload);
    const QString wanted = QStringLiteral(
        "payload is not ON, OFF, TOGGLE, PULSE or a JSON object such as "
        "{\"state\":\"ON\",\"pulse_ms\":500}");
    if (!object) {
        return refuse(wanted);
    }
    const auto word = word_of(object->value(QStringLiteral("state")).toString());
    if (!word) {
        return refuse(wanted);
    }
    for (auto it = object->begin(); it != object->end(); ++it) {
        if (it.key() != QLatin1String("state") && it.key() != QLatin1String("pulse_ms")) {
            return refuse(QStringLiteral("unknown key \"%1\"").arg(it.key()));
        }
    }
    add(command, *word, channel_bit(channel));
    if (object->contains(QStringLiteral("pulse_ms"))) {
        const QJsonValue ms = object->value(QStringLiteral("pulse_ms"));
        const double value = ms.toDouble(-1);
        if (*word != Word::On && *word != Word::Pulse) {
            return refuse(QStringLiteral("pulse_ms goes with ON or PULSE"));
        }
        // The range first: a huge number has no integer to compare with.
        if (!ms.isDouble() || !(value >= MinPulseMs && value <= MaxPulseMs) ||
            value != std::floor(value)) {
            return refuse(QStringLiteral("pulse_ms is not a whole number of milliseconds "
                                         "from %1 to %2")
                              .arg(MinPulseMs)
                              .arg(MaxPulseMs));
        }
        command.on = 0;
        command.pulse = channel_bit(channel);
        command.pulse_ms = static_cast<int>(value);
    }
    return {command, QString()};
}

CommandReading read_board_payload(std::uint8_t address, const QByteArray& payload) {
    ChannelCommand command;
    command.address = address;
    const auto whole = [&](const QString& text) -> std::optional<CommandReading> {
        const auto word = word_of(text);
        if (!word) {
            return std::nullopt;
        }
        if (*word == Word::Pulse) {
            return refuse(QStringLiteral("PULSE is for one channel at a time"));
        }
        add(command, *word, 0xFFFF);
        return CommandReading{command, QString()};
    };
    if (auto reading = whole(QString::fromUtf8(payload))) {
        return *reading;
    }
    const auto object = json_object(payload);
    if (!object || object->isEmpty()) {
        return refuse(QStringLiteral(
            "payload is not ON, OFF, TOGGLE or a JSON object such as {\"3\":\"ON\"}"));
    }
    if (object->size() == 1 && object->contains(QStringLiteral("state"))) {
        if (auto reading = whole(object->value(QStringLiteral("state")).toString())) {
            return *reading;
        }
        return refuse(QStringLiteral("\"state\" is not ON, OFF or TOGGLE"));
    }
    for (auto it = object->begin(); it != object->end(); ++it) {
        const auto channel = strict_decimal(it.key(), 1, ChannelCount);
        const auto word = it.value().isString() ? word_of(it.value().toString()) : std::nullopt;
        if (!channel || !word) {
            return refuse(
                QStringLiteral("\"%1\" is not a channel 1 to 16 with ON, OFF, TOGGLE or PULSE")
                    .arg(it.key()));
        }
        if (command.mask() & channel_bit(*channel)) {
            return refuse(QStringLiteral("channel %1 given twice").arg(*channel));
        }
        add(command, *word, channel_bit(*channel));
    }
    return {command, QString()};
}

}  // namespace relay
