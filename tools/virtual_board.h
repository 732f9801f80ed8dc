#pragma once

#include "protocol/frame.h"

#include <cstdint>
#include <optional>

namespace relay {

// One relay board as it behaves on the line: it takes the command frames
// meant for it and answers each with its address, the command code and both
// channel bitmaps.
class VirtualBoard {
public:
    explicit VirtualBoard(std::uint8_t address = 1, std::uint16_t channels = 0);

    // The answer to one frame off the line; nothing when the frame is not a
    // sound command for this board.
    std::optional<Frame> answer(const Frame& command);

    std::uint8_t address() const { return m_address; }
    // Bit 0 is channel 1, bit 15 channel 16.
    std::uint16_t channels() const { return m_channels; }

    // Channels whose relays never move (a welded contact, a dead coil): the
    // board still answers and reports them unchanged.
    void set_stuck(std::uint16_t stuck) { m_stuck = stuck; }
    // A board whose address memory does not take a write: it answers the
    // write-address frame from its old address and stays there.
    void set_keep_address(bool keep) { m_keep_address = keep; }
    // A switch the board's own lines do not explain: another master on the
    // bus, or a technician's test button.
    void toggle_channel(int channel);

private:
    Frame reply(std::uint8_t command) const;

    std::uint8_t m_address = 1;
    std::uint16_t m_channels = 0;
    std::uint16_t m_stuck = 0;
    bool m_keep_address = false;
};

}  // namespace relay
