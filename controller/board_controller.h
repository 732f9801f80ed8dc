#pragma once

#include "controller/board_view.h"
#include "protocol/frame.h"

#include <cstdint>
#include <optional>

namespace relay {

// The strict poller: operator actions fill one pending slot, every tick sends
// exactly one frame (the pending command, else a status query), valid replies
// repaint the channels and rearm the watchdog. Owns no timer and no port.
class BoardController {
public:
    struct Command {
        std::uint8_t address = 0;
        std::uint8_t command = 0;
        std::uint8_t data1 = 0;
        std::uint8_t data2 = 0;
    };

    // The pace of the ticks: five polls a second.
    static constexpr int TickMilliseconds = 200;
    // Replies rearm the watchdog to this many ticks.
    static constexpr int WatchdogTicks = 5;

    BoardController(BoardView& view, FrameWriter writer);

    // Operator actions: they only fill the slot.
    void toggle_channel(int channel);
    void energise_all();
    void release_all();
    void read_address();
    void write_address();

    // Timer tick: watchdog first, then poll_board.
    void tick();
    // One 8-byte group from the serial link.
    void receive(const Frame& group);

    void queue_command(std::uint8_t command, std::uint8_t data1, std::uint8_t data2);
    void queue_address_command(std::uint8_t command, std::uint8_t data2);
    void poll_board();
    void apply_reply(const Frame& reply);

    int reply_countdown() const { return m_reply_countdown; }
    const std::optional<Command>& pending_command() const { return m_pending_command; }

private:
    std::optional<std::uint8_t> current_address();
    void show_all(ChannelLook look);

    BoardView& m_view;
    FrameWriter m_writer;
    std::optional<Command> m_pending_command;
    int m_reply_countdown = 0;
};

}  // namespace relay
