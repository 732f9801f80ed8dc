#include "bridge/topics.h"

#include "protocol/option_text.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>

#include <utility>

namespace relay {

namespace {

const QString Set = QStringLiteral("set");

enum class Word { On, Off, Toggle };

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
    }
}

ChannelBits bit_of(int channel) {
    return static_cast<ChannelBits>(1u << (channel - 1));
}

CommandReading refuse(const QString& why) {
    return {std::nullopt, why};
}

}  // namespace

Topics::Topics(QString base, QString node, QString discovery_prefix)
    : m_base(std::move(base)), m_node(std::move(node)), m_prefix(std::move(discovery_prefix)) {}

QString Topics::board(std::uint8_t address) const {
    return QStringLiteral("%1/%2/%3").arg(m_base, m_node).arg(address);
}

QString Topics::bridge_status() const {
    return QStringLiteral("%1/%2/status").arg(m_base, m_node);
}

QString Topics::errors() const {
    return QStringLiteral("%1/%2/error").arg(m_base, m_node);
}

QString Topics::board_availability(std::uint8_t address) const {
    return board(address) + QStringLiteral("/availability");
}

QString Topics::board_document(std::uint8_t address) const {
    return board(address) + QStringLiteral("/state");
}

QString Topics::board_command(std::uint8_t address) const {
    return board(address) + QLatin1Char('/') + Set;
}

QString Topics::channel_state(std::uint8_t address, int channel) const {
    return board(address) + QStringLiteral("/%1/state").arg(channel);
}

QString Topics::channel_command(std::uint8_t address, int channel) const {
    return board(address) + QStringLiteral("/%1/set").arg(channel);
}

QStringList Topics::command_filters() const {
    return {board(0).chopped(1) + QStringLiteral("+/set"),
            board(0).chopped(1) + QStringLiteral("+/+/set")};
}

QString Topics::discovery_config(std::uint8_t address, int channel) const {
    return QStringLiteral("%1/switch/%2/%3_%4/config")
        .arg(m_prefix, m_node)
        .arg(address)
        .arg(channel);
}

QString Topics::discovery_filter() const {
    return QStringLiteral("%1/switch/%2/+/config").arg(m_prefix, m_node);
}

QString Topics::discovery_status() const {
    return m_prefix + QStringLiteral("/status");
}

std::optional<std::uint8_t> Topics::discovery_address(const QString& topic) const {
    const QString head = QStringLiteral("%1/switch/%2/").arg(m_prefix, m_node);
    if (!topic.startsWith(head) || !topic.endsWith(QLatin1String("/config"))) {
        return std::nullopt;
    }
    const QString object = topic.mid(head.size()).chopped(7);
    const auto address = strict_decimal(object.section(QLatin1Char('_'), 0, 0), 0, 255);
    return address ? std::optional<std::uint8_t>(static_cast<std::uint8_t>(*address))
                   : std::nullopt;
}

QString Topics::bridge_device_id() const {
    return QStringLiteral("relayd_%1").arg(m_node);
}

QString Topics::device_id(std::uint8_t address) const {
    return QStringLiteral("relayd_%1_%2").arg(m_node).arg(address);
}

QString Topics::entity_id(std::uint8_t address, int channel) const {
    return QStringLiteral("relayd_%1_%2_%3").arg(m_node).arg(address).arg(channel);
}

CommandReading read_command(const Topics& topics, const QString& topic, const QByteArray& payload,
                            bool retained) {
    const QString head = topics.command_filters().front().chopped(5);
    if (!topic.startsWith(head) || !topic.endsWith(QLatin1Char('/') + Set)) {
        return refuse(QStringLiteral("not a command topic"));
    }
    if (retained) {
        return refuse(
            QStringLiteral("retained command ignored: it would switch again at every "
                           "start; publish commands without the retain flag"));
    }
    const QStringList parts = topic.mid(head.size()).split(QLatin1Char('/'));
    const auto address = strict_decimal(parts.value(0), 0, 255);
    if (!address || parts.size() > 3) {
        return refuse(QStringLiteral("no such board"));
    }
    ChannelCommand command;
    command.address = static_cast<std::uint8_t>(*address);
    const QString text = QString::fromUtf8(payload);
    if (parts.size() == 3) {
        const auto channel = strict_decimal(parts[1], 1, ChannelCount);
        if (!channel) {
            return refuse(QStringLiteral("no channel %1: channels are 1 to 16").arg(parts[1]));
        }
        const auto word = word_of(text);
        if (!word) {
            return refuse(QStringLiteral("payload is not ON, OFF or TOGGLE"));
        }
        add(command, *word, bit_of(*channel));
        return {command, QString()};
    }
    if (const auto word = word_of(text)) {
        add(command, *word, 0xFFFF);
        return {command, QString()};
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject() ||
        document.object().isEmpty()) {
        return refuse(QStringLiteral(
            "payload is not ON, OFF, TOGGLE or a JSON object such as {\"3\":\"ON\"}"));
    }
    const QJsonObject channels = document.object();
    for (auto it = channels.begin(); it != channels.end(); ++it) {
        const auto channel = strict_decimal(it.key(), 1, ChannelCount);
        const auto word = it.value().isString() ? word_of(it.value().toString()) : std::nullopt;
        if (!channel || !word) {
            return refuse(QStringLiteral("\"%1\" is not a channel 1 to 16 with ON, OFF or TOGGLE")
                              .arg(it.key()));
        }
        if (command.mask() & bit_of(*channel)) {
            return refuse(QStringLiteral("channel %1 given twice").arg(*channel));
        }
        add(command, *word, bit_of(*channel));
    }
    return {command, QString()};
}

QString topic_safe(const QString& text) {
    static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9_-]+"));
    return QString(text).replace(unsafe, QStringLiteral("_"));
}

}  // namespace relay
