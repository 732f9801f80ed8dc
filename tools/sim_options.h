#pragma once

#include "tools/virtual_line.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

namespace relay {

// The virtual board's command line.
struct SimOptions {
    QString device;  // empty: a new pseudo-terminal
    QString link;    // a symbolic link to the tty, made at start, removed at exit
    std::vector<std::uint8_t> addresses{1};
    std::uint16_t channels = 0;  // bit 0 is channel 1
    std::uint16_t stuck = 0;     // channels that never switch
    bool keep_address = false;   // write-address is answered but does not take
    FaultPlan faults;
    // Bytes take as long as on a 9600 baud 8N1 line, both ways.
    bool line_time = false;
    // The board's own processing time; --delay is a fault on top of it.
    int turnaround_ms = 0;
    bool log = false;
    bool help = false;
    QString help_text;
};

// arguments[0] is the program. Nothing and an error text when they are wrong.
std::optional<SimOptions> parse_sim_options(const QStringList& arguments, QString* error);

}  // namespace relay
