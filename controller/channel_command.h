#pragma once

#include "controller/bus_poller.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace relay {

// What each channel of one board should become, read from a message of any
// source (MQTT, the web API); the switchboard carries it out.
struct ChannelCommand {
    std::uint8_t address = 0;
    ChannelBits on = 0;
    ChannelBits off = 0;
    ChannelBits toggle = 0;
    ChannelBits pulse = 0;  // energised, then released after pulse_ms
    int pulse_ms = 0;       // 0: each channel's configured length
    ChannelBits mask() const { return on | off | toggle | pulse; }
};

struct CommandReading {
    std::optional<ChannelCommand> command;
    QString refusal;  // why there is none
};

// The shortest and longest pulse a command may ask for.
constexpr int MinPulseMs = 50;
constexpr int MaxPulseMs = 24 * 3600 * 1000;

ChannelBits channel_bit(int channel);
// "1, 5, 7": the channels of bits, for messages.
QString channel_text(ChannelBits bits);
int channel_count(ChannelBits bits);

// What a command does, an action a word: ("on", channels), ("off", ...),
// ("toggle", ...), ("pulse", ...), in that order, those it has.
struct ChannelAction {
    const char* word;
    ChannelBits channels;
};
std::vector<ChannelAction> channel_actions(const ChannelCommand& command);

// One channel: ON, OFF, TOGGLE or PULSE (any letter case, blanks around), or a
// JSON object {"state":"ON","pulse_ms":500}; pulse_ms goes with ON or PULSE.
CommandReading read_channel_payload(std::uint8_t address, int channel, const QByteArray& payload);

// A whole board: ON, OFF or TOGGLE for all 16, {"state":"ON"}, or a JSON
// object of channels {"3":"ON","5":"PULSE"}, each channel once.
CommandReading read_board_payload(std::uint8_t address, const QByteArray& payload);

}  // namespace relay
