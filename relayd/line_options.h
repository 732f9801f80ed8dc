#pragma once

#include "controller/switch_rules.h"
#include "schedule/sun_times.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace relay {

// What relayd's line is given: the port, the boards, how commands are timed
// and checked, the node id that names this relayd to every adapter, and the
// directory where relayd keeps what must outlast a restart.
struct LineOptions {
    QString port_text = QStringLiteral("1");
    std::vector<std::uint8_t> boards{1};
    bool scan = false;  // look for the boards at start, in scan_from..scan_to
    int scan_from = 0;
    int scan_to = 255;
    QString node_id;          // empty until kept in the state directory (relayd/node_id.h)
    QString name_directory;   // empty: beside the program, else the state directory
    QString state_directory;  // relayd's own files (relayd/state_directory.h), resolved
    int verify_timeout_ms = 1000;
    QStringList share;  // links to shared ports for other programs
    SwitchRules rules;  // pulses, momentary channels, interlocks
    // The schedule: each entry's name and text, the zone its times are in
    // (empty: the system's), the place of the sun's times, and whether the
    // system clock is trusted as it reads.
    std::vector<std::pair<QString, QString>> schedule;
    QString time_zone;
    std::optional<Location> location;
    bool trust_clock = false;
    bool verbose = false;
};

}  // namespace relay
