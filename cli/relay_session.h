#pragma once

#include "cli/cli_options.h"
#include "controller/board_view.h"
#include "controller/switchboard.h"

#include <array>
#include <functional>
#include <optional>
#include <vector>

namespace relay {

using ChannelLooks = std::array<ChannelLook, ChannelCount>;

inline ChannelLooks unknown_looks() {
    ChannelLooks looks;
    looks.fill(ChannelLook::Unknown);
    return looks;
}

// What the board last reported, as looks; all Unknown before any reply.
ChannelLooks looks_of(const std::optional<ChannelBits>& channels);

struct FoundBoard {
    std::uint8_t address = 0;
    ChannelLooks looks = unknown_looks();
};

struct WatchEvent {
    enum class Kind { Initial, Change, Silent, Back };
    Kind kind = Kind::Initial;
    ChannelLooks before = unknown_looks();  // Change: the looks until now
    ChannelLooks looks = unknown_looks();
    std::vector<int> changed;  // Change: channels 1..16
};

// One relayctl command on the switchboard: the program feeds it the time and
// the port's 8-byte groups and reads back what it concluded. Frames, pacing,
// availability, verification and the switching rules are the core's, as for
// relayd.
class RelaySession : private BusEvents {
public:
    enum class Outcome { Running, Done, NoReply, NotVerified, Refused };

    RelaySession(const CliOptions& options, FrameWriter writer);

    void advance(std::int64_t now_ms);
    void receive(const Frame& group, std::int64_t now_ms);
    // When advance() is due next.
    std::optional<std::int64_t> next_deadline_ms() const;

    Outcome outcome() const { return m_outcome; }
    // Refused: why.
    const QString& refusal() const { return m_refusal; }
    // Interrupted: a running pulse is released now; finished once it is.
    bool end_pulse(std::int64_t now_ms);
    bool finished() const { return m_outcome != Outcome::Running; }
    // The board's address: the one it reported for read-address.
    std::uint8_t address() const { return m_address; }
    const ChannelLooks& looks() const { return m_looks; }
    // Channels asked for that the last reply did not show as wanted.
    std::vector<int> unswitched() const;
    std::optional<ChannelLook> wanted(int channel) const;
    const std::vector<FoundBoard>& found() const { return m_found; }
    // The effective timeout (scan: the window per address).
    int timeout_ms() const { return m_options.timeout_ms; }

    void on_watch_event(std::function<void(const WatchEvent&)> handler);
    // scan: the address about to be queried.
    void on_scan_progress(std::function<void(int address)> handler);

private:
    void replied(const Frame& reply) override;
    void availability_changed(const BoardState& board) override;
    void job_finished(int, JobResult) override {}
    void unanswered(const Frame& request) override;
    void scan_progress(int address) override;
    void scan_finished() override;

    void begin(std::int64_t now_ms);
    void switch_to(ChannelBits wanted);
    void switched(const CommandOutcome& outcome);
    // A pulse of one of the command's channels is running.
    bool pulsing() const;
    void watch(WatchEvent::Kind kind, const ChannelLooks& looks);
    void finish(Outcome outcome);

    CliOptions m_options;
    Switchboard m_switchboard;
    QString m_refusal;
    Outcome m_outcome = Outcome::Running;
    std::optional<std::int64_t> m_deadline_ms;
    std::uint8_t m_address = 1;
    bool m_begun = false;
    bool m_switched = false;  // the switching commands are queued
    bool m_answered = false;  // the board has replied at all
    bool m_watching = false;  // watch: the board has been seen
    bool m_pulsing = false;   // energised by a pulse, the release to come
    bool m_pulse_failed = false;
    ChannelLooks m_looks = unknown_looks();
    ChannelBits m_mask = 0;
    ChannelBits m_wanted = 0;
    std::vector<FoundBoard> m_found;
    std::function<void(const WatchEvent&)> m_watch_handler;
    std::function<void(int)> m_progress_handler;
};

}  // namespace relay
