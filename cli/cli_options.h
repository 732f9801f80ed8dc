#pragma once

#include "controller/channel_command.h"
#include "controller/switch_rules.h"
#include "protocol/option_text.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

namespace relay {

enum class CliCommand {
    Status,
    On,
    Off,
    Toggle,
    Pulse,
    AllOn,
    AllOff,
    ReadAddress,
    WriteAddress,
    Scan,
    Watch,
    Names,
    Rename,
    Ports,
};

// One invocation of relayctl, checked: nothing in it can make a bad frame.
struct CliOptions {
    CliCommand command = CliCommand::Status;
    QString port_text = QStringLiteral("1");  // a port number, or a device path
    std::uint8_t address = 1;
    std::vector<int> channels;  // 1..16, each once, in the order given
    std::uint8_t new_address = 0;
    int scan_from = 0;
    int scan_to = 255;
    QString new_name;
    int pulse_ms = 0;
    SwitchRules rules;   // from --config: pulses, momentary channels, interlocks
    int timeout_ms = 0;  // 0: the command's own default
    bool verify = true;
    bool json = false;
    QString name_directory;  // where name.txt lives; empty: beside the program
    bool help = false;
    bool version = false;
};

// Per verification; a 9600-baud round trip is ~20 ms, so this is 50 of them.
constexpr int DefaultTimeoutMs = 1000;
// Per scanned address: more than two round trips, little enough for a full scan.
constexpr int DefaultScanWindowMs = 50;

// arguments[0] is the program. Nothing and the reason when they are wrong.
std::optional<CliOptions> parse_cli_options(const QStringList& arguments, QString* error);

QString cli_usage_text();

}  // namespace relay
