#include "mqtt/topics.h"

#include "protocol/option_text.h"

#include <QRegularExpression>
#include <QStringList>

#include <utility>

namespace relay {

namespace {

const QString Set = QStringLiteral("set");

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

QString Topics::schedule_runs() const {
    return QStringLiteral("%1/%2/schedule").arg(m_base, m_node);
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

QString Topics::button_config(std::uint8_t address, int channel) const {
    return QStringLiteral("%1/button/%2/%3_%4/config")
        .arg(m_prefix, m_node)
        .arg(address)
        .arg(channel);
}

QString Topics::bridge_config() const {
    return QStringLiteral("%1/binary_sensor/%2/bridge/config").arg(m_prefix, m_node);
}

QString Topics::channel_runtime(std::uint8_t address, int channel) const {
    return board(address) + QStringLiteral("/%1/runtime").arg(channel);
}

QString Topics::runtime_config(std::uint8_t address, int channel, bool energised) const {
    return QStringLiteral("%1/sensor/%2/%3_%4_%5/config")
        .arg(m_prefix, m_node)
        .arg(address)
        .arg(channel)
        .arg(energised ? QStringLiteral("energised") : QStringLiteral("switches"));
}

QStringList Topics::discovery_filters() const {
    return {QStringLiteral("%1/switch/%2/+/config").arg(m_prefix, m_node),
            QStringLiteral("%1/button/%2/+/config").arg(m_prefix, m_node),
            QStringLiteral("%1/sensor/%2/+/config").arg(m_prefix, m_node)};
}

QString Topics::discovery_status() const {
    return m_prefix + QStringLiteral("/status");
}

std::optional<Topics::Place> Topics::discovery_place(const QString& topic) const {
    const QStringList levels = topic.split(QLatin1Char('/'));
    const QString prefix = levels.mid(0, levels.size() - 4).join(QLatin1Char('/'));
    if (levels.size() < 5 || prefix != m_prefix || levels.value(levels.size() - 3) != m_node ||
        levels.last() != QLatin1String("config")) {
        return std::nullopt;
    }
    const QString& component = levels[levels.size() - 4];
    const QString& object = levels[levels.size() - 2];
    const bool sensor = component == QLatin1String("sensor");
    const QString counter = object.section(QLatin1Char('_'), 2, 2);
    const auto address = strict_decimal(object.section(QLatin1Char('_'), 0, 0), 0, 255);
    const auto channel =
        object.count(QLatin1Char('_')) == (sensor ? 2 : 1) &&
                (!sensor || counter == QLatin1String("energised") ||
                 counter == QLatin1String("switches"))
            ? strict_decimal(object.section(QLatin1Char('_'), 1, 1), 1, ChannelCount)
            : std::nullopt;
    if ((component != QLatin1String("switch") && component != QLatin1String("button") && !sensor) ||
        !address || !channel) {
        return std::nullopt;
    }
    return Place{component == QLatin1String("button"), sensor, static_cast<std::uint8_t>(*address),
                 *channel};
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

QString Topics::button_id(std::uint8_t address, int channel) const {
    return entity_id(address, channel) + QStringLiteral("_pulse");
}

QString Topics::runtime_id(std::uint8_t address, int channel, bool energised) const {
    return entity_id(address, channel) +
           (energised ? QStringLiteral("_energised") : QStringLiteral("_switches"));
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
    const auto board = static_cast<std::uint8_t>(*address);
    if (parts.size() == 3) {
        const auto channel = strict_decimal(parts[1], 1, ChannelCount);
        if (!channel) {
            return refuse(QStringLiteral("no channel %1: channels are 1 to 16").arg(parts[1]));
        }
        return read_channel_payload(board, *channel, payload);
    }
    return read_board_payload(board, payload);
}

QString topic_safe(const QString& text) {
    static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9_-]+"));
    return QString(text).replace(unsafe, QStringLiteral("_"));
}

QString entity_slug(const QString& text) {
    static const QRegularExpression other(QStringLiteral("[^a-z0-9]+"));
    static const QRegularExpression ends(QStringLiteral("^_|_$"));
    return text.toLower().replace(other, QStringLiteral("_")).remove(ends);
}

}  // namespace relay
