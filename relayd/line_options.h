#pragma once

#include "controller/switch_rules.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace relay {

// What relayd's line is given: the port, the boards, how commands are timed
// and checked, and the node id that names this relayd to every adapter.
struct LineOptions {
    QString port_text = QStringLiteral("1");
    std::vector<std::uint8_t> boards{1};
    bool scan = false;  // look for the boards at start, in scan_from..scan_to
    int scan_from = 0;
    int scan_to = 255;
    QString node_id;         // empty: from the host and the port
    QString name_directory;  // empty: beside the program
    int verify_timeout_ms = 1000;
    QStringList share;  // links to shared ports for other programs
    SwitchRules rules;  // pulses, momentary channels, interlocks
    bool verbose = false;
};

}  // namespace relay
