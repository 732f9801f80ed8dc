#include "controller/change_causes.h"

#include "controller/channel_command.h"

namespace relay {

void ChangeCauses::written(const Frame& frame, const FrameCause& cause, std::int64_t now_ms) {
    ChannelBits bits = 0;
    bool on = false;
    if (frame[2] == cmd::SwitchAll) {
        bits = 0xFFFF;
        on = frame[5] == AllOn;
    } else if ((frame[2] == cmd::Energise || frame[2] == cmd::Release) && frame[6] >= 1 &&
               frame[6] <= ChannelCount) {
        bits = channel_bit(frame[6]);
        on = frame[2] == cmd::Energise;
    }
    if (bits == 0) {
        return;
    }
    Board& board = m_boards[frame[1]];
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        if (bits & channel_bit(channel)) {
            board.asked[static_cast<std::size_t>(channel - 1)] = Asked{on, cause, now_ms};
        }
    }
}

std::vector<ChannelChange> ChangeCauses::shown(const BoardState& state, std::int64_t now_ms) {
    std::vector<ChannelChange> changes;
    if (!state.channels) {
        return changes;
    }
    Board& board = m_boards[state.address];
    const ChannelBits shown = *state.channels;
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        const ChannelBits bit = channel_bit(channel);
        const bool on = (shown & bit) != 0;
        Asked& asked = board.asked[static_cast<std::size_t>(channel - 1)];
        const bool explains =
            asked.at_ms >= 0 && asked.on == on && now_ms - asked.at_ms <= AskedWithinMs;
        if (!board.shown) {
            changes.push_back({state.address, channel, on, ChannelChange::Kind::Seen, {}});
        } else if (((*board.shown ^ shown) & bit) != 0) {
            changes.push_back({state.address, channel, on,
                               explains ? ChannelChange::Kind::Asked : ChannelChange::Kind::Master,
                               explains ? asked.cause : FrameCause{}});
        }
        // Shown as asked: the ask is spent, a later change is somebody else's.
        if (explains) {
            asked.at_ms = -1;
        }
    }
    board.shown = shown;
    return changes;
}

}  // namespace relay
