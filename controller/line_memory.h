#pragma once

#include "controller/bus_poller.h"

#include <array>
#include <map>
#include <optional>

namespace relay {

// What a line's boards have been sent and shown beyond the poller's last
// reply: frames queued but not yet on the line, energises on the line whose
// reply is not yet in, and since when each channel has been seen released.
// An interlock needs what did happen and what is about to.
class LineMemory {
public:
    void queued(const Frame& frame);
    void written(const Frame& frame);
    // After a reply was applied to board; true when it is the first heard.
    bool shown(const BoardState& board, std::int64_t now_ms);
    // Queued frames were dropped.
    void line_closed();

    // Those of channels that are on, or about to be, and not about to be released.
    ChannelBits maybe_on(const BoardState* board, ChannelBits channels) const;
    // When channels have been shown released, by a reply to all that was sent
    // to them, for dead_time_ms; nothing while they have not.
    std::optional<std::int64_t> free_at(const BoardState& board, ChannelBits channels,
                                        int dead_time_ms) const;

private:
    // Frames per channel queued and not yet written: one written must not
    // hide another one still queued.
    struct Unwritten {
        std::array<int, ChannelCount> frames{};
        void add(ChannelBits channels, int count);
        ChannelBits channels() const;
    };
    struct Board {
        Unwritten unwritten_energise;
        Unwritten unwritten_release;
        ChannelBits unanswered_energise = 0;  // on the line, its reply not yet in
        std::array<std::int64_t, ChannelCount> released_ms{};
        ChannelBits shown = 0;
        bool heard = false;
    };

    std::map<std::uint8_t, Board> m_boards;
};

}  // namespace relay
