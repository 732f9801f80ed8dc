// A message from the broker, as relayd reads it: the first byte holds the flags
// (bit 0: retained), then the topic up to the first NUL, then the payload.
// Checks: a retained message never switches; an accepted command comes from one
// of the bridge's own command topics, names a real board and channels, and its
// ON, OFF, TOGGLE and PULSE sets are disjoint; reading is deterministic.
#include "mqtt/topics.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

const relay::Topics& topics() {
    static const relay::Topics instance(QStringLiteral("relay"), QStringLiteral("node"),
                                        QStringLiteral("homeassistant"));
    return instance;
}

// MQTT's matching of a topic against a filter with + levels (no # here).
bool matches(const QString& filter, const QString& topic) {
    const QStringList want = filter.split(QLatin1Char('/'));
    const QStringList have = topic.split(QLatin1Char('/'));
    if (want.size() != have.size()) {
        return false;
    }
    for (qsizetype i = 0; i < want.size(); ++i) {
        if (want[i] != QLatin1String("+") && want[i] != have[i]) {
            return false;
        }
    }
    return true;
}

bool same(const relay::CommandReading& a, const relay::CommandReading& b) {
    if (a.command.has_value() != b.command.has_value() || a.refusal != b.refusal) {
        return false;
    }
    return !a.command ||
           (a.command->address == b.command->address && a.command->on == b.command->on &&
            a.command->off == b.command->off && a.command->toggle == b.command->toggle &&
            a.command->pulse == b.command->pulse && a.command->pulse_ms == b.command->pulse_ms);
}

void check_command(const QString& topic, const QByteArray& payload,
                   const relay::ChannelCommand& command) {
    const QString head = QStringLiteral("relay/node/");
    check(topic.startsWith(head));
    check(topic.endsWith(QLatin1String("/set")));
    bool heard = false;
    for (const QString& filter : topics().command_filters()) {
        heard = heard || matches(filter, topic);
    }
    check(heard);  // the bridge is subscribed to it

    check(command.mask() != 0);
    check((command.on & command.off) == 0);
    check((command.on & command.toggle) == 0);
    check((command.off & command.toggle) == 0);
    check((command.pulse & (command.on | command.off | command.toggle)) == 0);
    check(command.pulse_ms == 0 || (command.pulse_ms >= relay::MinPulseMs &&
                                    command.pulse_ms <= relay::MaxPulseMs && command.pulse != 0));

    const QStringList levels = topic.mid(head.size()).chopped(4).split(QLatin1Char('/'));
    check(levels.size() == 1 || levels.size() == 2);
    bool ok = false;
    check(levels[0].toInt(&ok) == command.address && ok);
    QString canonical = topics().board_command(command.address);
    if (levels.size() == 2) {
        const int channel = levels[1].toInt(&ok);
        check(ok && channel >= 1 && channel <= relay::ChannelCount);
        check(command.mask() == (1u << (channel - 1)));
        canonical = topics().channel_command(command.address, channel);
    }
    // Leading zeros or not, an address reads as its canonical topic does.
    check(same(relay::read_command(topics(), canonical, payload, false), {command, {}}));
    const auto place = topics().discovery_place(topics().button_config(command.address, 16));
    check(place && place->button && place->address == command.address && place->channel == 16);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const bool retained = (data[0] & 1u) != 0;
    const char* rest = reinterpret_cast<const char*>(data + 1);
    const std::size_t rest_size = size - 1;
    const void* nul = std::memchr(rest, 0, rest_size);
    const std::size_t topic_size =
        nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - rest) : rest_size;
    const QString topic = QString::fromUtf8(rest, static_cast<qsizetype>(topic_size));
    const QByteArray payload =
        nul ? QByteArray(rest + topic_size + 1, static_cast<qsizetype>(rest_size - topic_size - 1))
            : QByteArray();

    const relay::CommandReading reading = relay::read_command(topics(), topic, payload, retained);
    check(same(reading, relay::read_command(topics(), topic, payload, retained)));
    check(reading.command.has_value() != !reading.refusal.isEmpty());
    if (reading.command) {
        check(!retained);
        check_command(topic, payload, *reading.command);
    }
    // The retain flag only ever refuses.
    check(!relay::read_command(topics(), topic, payload, true).command);

    if (const auto place = topics().discovery_place(topic)) {
        const QString canonical = place->button
                                      ? topics().button_config(place->address, place->channel)
                                      : topics().discovery_config(place->address, place->channel);
        check(topic.endsWith(QLatin1String("/config")));
        check(topic.startsWith(canonical.section(QLatin1Char('/'), 0, 2)));
        const auto again = topics().discovery_place(canonical);
        check(again && again->button == place->button && again->address == place->address &&
              again->channel == place->channel);
    }
    return 0;
}
