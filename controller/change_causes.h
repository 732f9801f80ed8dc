#pragma once

#include "controller/bus_poller.h"

#include <array>
#include <map>
#include <optional>
#include <vector>

namespace relay {

// A channel's state as a board's reply newly shows it, and who asked for it.
struct ChannelChange {
    enum class Kind {
        Asked,   // cause: the frame that asked for it
        Master,  // nothing of ours asked: another master on the line, or the board itself
        Seen,    // the state as first heard: not a change, the start of what is known
    };
    std::uint8_t address = 0;
    int channel = 0;
    bool on = false;
    Kind kind = Kind::Seen;
    FrameCause cause;
};

// What each channel was last asked to become, by whom and when, so that a
// change a reply shows is put down to the frame that asked for it; a change
// nothing asked for, or not lately, is another master's.
class ChangeCauses {
public:
    // A frame asked for longer ago than this no longer explains a change.
    static constexpr int AskedWithinMs = 3000;

    void written(const Frame& frame, const FrameCause& cause, std::int64_t now_ms);
    // After a reply was applied: each channel that differs from the last
    // reply, or every channel when the board is first heard.
    std::vector<ChannelChange> shown(const BoardState& board, std::int64_t now_ms);

private:
    struct Asked {
        bool on = false;
        FrameCause cause;
        std::int64_t at_ms = -1;  // -1: nothing asked
    };
    struct Board {
        std::optional<ChannelBits> shown;
        std::array<Asked, ChannelCount> asked{};
    };

    std::map<std::uint8_t, Board> m_boards;
};

}  // namespace relay
