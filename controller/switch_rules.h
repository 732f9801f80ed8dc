#pragma once

#include "controller/board_document.h"
#include "controller/bus_poller.h"
#include "controller/channel_command.h"

#include <QString>

#include <map>
#include <vector>

namespace relay {

// What may be switched how on one board: pulse lengths, momentary channels
// (every ON a pulse) and interlocked groups (never two of one energised), with
// the pause between releasing one of a group and energising another.
struct BoardRules {
    PulseLengths pulse_ms{};  // 0: no configured length
    ChannelBits momentary = 0;
    std::vector<ChannelBits> groups;
    int dead_time_ms = 0;

    // The group the channel belongs to, 0 when none.
    ChannelBits group_of(int channel) const;
};

struct SwitchRules {
    std::map<std::uint8_t, BoardRules> boards;
    const BoardRules& board(std::uint8_t address) const;
};

constexpr int MaxDeadTimeMs = 60000;

// The option texts, shared by relayd and relayctl; each adds to rules or
// says why not:
//   pulse      A:C=MS,...      a pulse length (50 ms to 24 h) for a channel
//   momentary  A:C,...         every ON of the channel becomes its pulse
//   interlock  A:C+C[+C],...   a group of one board, never two energised
//   dead-time  A=MS,...        the pause before energising within a group
bool add_switch_rule(SwitchRules& rules, const QString& key, const QString& text, QString* error);
// Why a command may not be carried out on a board with these rules, energising
// energise: all on or two of a group with interlocks, a pulse without a
// length. Empty when it may.
QString rules_refusal(const BoardRules& rules, const ChannelCommand& command, ChannelBits energise);

// Checks that hold across keys: a momentary channel needs a pulse length.
bool check_switch_rules(const SwitchRules& rules, QString* error);

}  // namespace relay
