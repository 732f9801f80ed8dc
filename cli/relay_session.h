#pragma once

#include "cli/cli_board_view.h"
#include "cli/cli_options.h"
#include "controller/board_controller.h"

#include <functional>
#include <vector>

namespace relay {

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

// One relayctl command on the line, without the line: the program feeds it
// ticks and the port's 8-byte groups and reads back what it concluded. All
// sending goes through the panel's controller, so frames, pacing and the
// watchdog are the panel's.
class RelaySession {
public:
    enum class Outcome { Running, Done, NoReply, NotVerified };

    RelaySession(const CliOptions& options, FrameWriter writer);

    // How long the program waits between ticks; the first comes at once.
    int tick_interval_ms() const;
    void tick();
    void receive(const Frame& group);

    Outcome outcome() const { return m_outcome; }
    bool finished() const { return m_outcome != Outcome::Running; }
    // The board's address: the one it reported for read-address.
    std::uint8_t address() const { return m_view.address(); }
    const ChannelLooks& looks() const { return m_looks; }
    // Channels asked for that the last reply did not show as wanted.
    std::vector<int> unswitched() const;
    std::optional<ChannelLook> wanted(int channel) const {
        return m_wanted[static_cast<std::size_t>(channel - 1)];
    }
    const std::vector<FoundBoard>& found() const { return m_found; }
    // The effective timeout (scan: the window per address).
    int timeout_ms() const { return m_options.timeout_ms; }

    void on_watch_event(std::function<void(const WatchEvent&)> handler);
    // scan: the address about to be queried.
    void on_scan_progress(std::function<void(int address)> handler);

private:
    enum class Phase { Reading, Sending, Verifying };

    void tick_switching();
    void receive_switching();
    void choose_wanted();
    void tick_watch();
    void receive_watch();
    void query_next_address();
    // One more waiting tick; false (and finished) once the timeout is spent.
    bool wait_one_tick();
    bool wanted_shown() const;
    void finish(Outcome outcome);

    CliOptions m_options;
    CliBoardView m_view;
    BoardController m_controller;
    Outcome m_outcome = Outcome::Running;
    Phase m_phase = Phase::Sending;
    int m_ticks_waited = 0;
    bool m_board_answered = false;
    ChannelLooks m_looks = unknown_looks();
    std::array<std::optional<ChannelLook>, ChannelCount> m_wanted{};
    std::vector<BoardController::Command> m_to_send;
    std::size_t m_sent = 0;
    std::vector<FoundBoard> m_found;
    int m_next_address = 0;
    enum class WatchState { Starting, Answering, Silent } m_watch = WatchState::Starting;
    std::function<void(const WatchEvent&)> m_watch_handler;
    std::function<void(int)> m_progress_handler;
};

}  // namespace relay
