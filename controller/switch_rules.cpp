#include "controller/switch_rules.h"

#include "controller/channel_command.h"
#include "protocol/option_text.h"

#include <QStringList>

namespace relay {

namespace {

struct Place {
    std::uint8_t address = 0;
    int channel = 0;
};

// "A:C" with an address 0..255 and a channel 1..16.
std::optional<Place> place_of(const QString& text) {
    const QStringList parts = text.trimmed().split(QLatin1Char(':'));
    const auto address = strict_decimal(parts.value(0), 0, 255);
    const auto channel =
        parts.size() == 2 ? strict_decimal(parts[1], 1, ChannelCount) : std::nullopt;
    if (!address || !channel) {
        return std::nullopt;
    }
    return Place{static_cast<std::uint8_t>(*address), *channel};
}

bool refuse(QString* error, const QString& key, const QString& item, const QString& why) {
    *error = QStringLiteral("--%1 \"%2\": %3").arg(key, item.trimmed(), why);
    return false;
}

bool add_item(SwitchRules& rules, const QString& key, const QString& item, QString* error) {
    const QString place_text = item.section(QLatin1Char('='), 0, 0);
    const QString value = item.section(QLatin1Char('='), 1);
    if (key == QLatin1String("dead-time")) {
        const auto address = strict_decimal(place_text.trimmed(), 0, 255);
        const auto ms = strict_decimal(value.trimmed(), 0, MaxDeadTimeMs);
        if (!address || !ms) {
            return refuse(error, key, item,
                          QStringLiteral("not ADDRESS=MS with MS from 0 to %1").arg(MaxDeadTimeMs));
        }
        rules.boards[static_cast<std::uint8_t>(*address)].dead_time_ms = *ms;
        return true;
    }
    if (key == QLatin1String("interlock")) {
        const QString address_text = item.section(QLatin1Char(':'), 0, 0);
        const QStringList members = item.section(QLatin1Char(':'), 1).split(QLatin1Char('+'));
        ChannelBits group = 0;
        std::uint8_t address = 0;
        for (const QString& member : members) {
            const auto place = place_of(address_text + QLatin1Char(':') + member);
            if (!place || (group & channel_bit(place->channel))) {
                return refuse(error, key, item,
                              QStringLiteral("not ADDRESS:C+C[+C...] with different channels 1 "
                                             "to 16"));
            }
            address = place->address;
            group |= channel_bit(place->channel);
        }
        if (members.size() < 2) {
            return refuse(error, key, item, QStringLiteral("a group has two channels or more"));
        }
        BoardRules& board = rules.boards[address];
        for (const ChannelBits other : board.groups) {
            if (other & group) {
                return refuse(error, key, item,
                              QStringLiteral("a channel is in one interlocked group only"));
            }
        }
        board.groups.push_back(group);
        return true;
    }
    const auto place = place_of(place_text);
    if (!place) {
        return refuse(error, key, item,
                      QStringLiteral("not ADDRESS:CHANNEL with a channel from 1 to 16"));
    }
    BoardRules& board = rules.boards[place->address];
    if (key == QLatin1String("momentary")) {
        board.momentary |= channel_bit(place->channel);
        return value.isEmpty() || refuse(error, key, item, QStringLiteral("want ADDRESS:CHANNEL"));
    }
    const auto ms = strict_decimal(value.trimmed(), MinPulseMs, MaxPulseMs);
    if (!ms) {
        return refuse(error, key, item,
                      QStringLiteral("not ADDRESS:CHANNEL=MS with MS from %1 to %2 (24 h)")
                          .arg(MinPulseMs)
                          .arg(MaxPulseMs));
    }
    board.pulse_ms[static_cast<std::size_t>(place->channel - 1)] = *ms;
    return true;
}

}  // namespace

ChannelBits BoardRules::group_of(int channel) const {
    for (const ChannelBits group : groups) {
        if (group & channel_bit(channel)) {
            return group;
        }
    }
    return 0;
}

const BoardRules& SwitchRules::board(std::uint8_t address) const {
    static const BoardRules none;
    const auto it = boards.find(address);
    return it == boards.end() ? none : it->second;
}

bool add_switch_rule(SwitchRules& rules, const QString& key, const QString& text, QString* error) {
    for (const QString& item : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        if (!add_item(rules, key, item, error)) {
            return false;
        }
    }
    return true;
}

QString rules_refusal(const BoardRules& rules, const ChannelCommand& command,
                      ChannelBits energise) {
    if (command.mask() == 0xFFFF && energise == 0xFFFF && !rules.groups.empty()) {
        return QStringLiteral("all on is refused: board %1 has interlocked channels")
            .arg(command.address);
    }
    for (const ChannelBits group : rules.groups) {
        if (channel_count(energise & group) >= 2) {
            return QStringLiteral("channels %1 are interlocked: only one of them may be on")
                .arg(channel_text(energise & group));
        }
    }
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        if ((command.pulse & channel_bit(channel)) && command.pulse_ms == 0 &&
            rules.pulse_ms[static_cast<std::size_t>(channel - 1)] == 0) {
            return QStringLiteral("channel %1 has no pulse length: configure one or give pulse_ms")
                .arg(channel);
        }
    }
    return QString();
}

bool check_switch_rules(const SwitchRules& rules, QString* error) {
    for (const auto& [address, board] : rules.boards) {
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            if ((board.momentary & channel_bit(channel)) &&
                board.pulse_ms[static_cast<std::size_t>(channel - 1)] == 0) {
                *error = QStringLiteral("--momentary %1:%2 needs a pulse length: --pulse %1:%2=MS")
                             .arg(address)
                             .arg(channel);
                return false;
            }
        }
    }
    return true;
}

}  // namespace relay
