#pragma once

#include <QString>

#include <cstdint>
#include <vector>

namespace relay {

// Who a change or a command is put down to: a source's kind ("mqtt", "web",
// "schedule", "shared", "pulse", "interlock", "momentary", "master", "seen"),
// its detail (a topic, a path, an entry, a port) and the web's user; empty
// when there is none.
struct HistorySource {
    QString kind;
    QString detail;
    QString user;
};

// A channel's state as a reply showed it. t: ms since the epoch.
struct ChangeRow {
    std::int64_t t = 0;
    int board = 0;
    int channel = 0;
    bool on = false;
    HistorySource cause;
};

// A command and how it ended: "verified", "not verified", "refused",
// "no reply" or "sent" (a shared port's frame, answered to its program).
struct CommandRow {
    std::int64_t t = 0;
    int board = 0;
    std::uint16_t channels = 0;
    QString what;  // "ON", "OFF", "TOGGLE", "PULSE 500 ms", or "ON 3; OFF 5"
    HistorySource source;
    QString outcome;
    QString reason;
};

// "online" / "offline" of a board, "line lost" / "line open" / "stopped"
// of the line (board -1).
struct AvailabilityRow {
    std::int64_t t = 0;
    int board = -1;
    QString state;
};

// What a channel added to its counters, on one day of relayd's zone.
struct RuntimeDelta {
    int board = 0;
    int channel = 0;
    QString day;  // yyyy-MM-dd
    std::int64_t switches = 0;
    std::int64_t energised_ms = 0;
};

struct HistoryBatch {
    std::vector<ChangeRow> changes;
    std::vector<CommandRow> commands;
    std::vector<AvailabilityRow> availability;
    std::vector<RuntimeDelta> runtime;
    bool empty() const {
        return changes.empty() && commands.empty() && availability.empty() && runtime.empty();
    }
    std::size_t size() const {
        return changes.size() + commands.size() + availability.size() + runtime.size();
    }
};

}  // namespace relay
