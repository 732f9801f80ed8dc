#include "controller/line_memory.h"

#include "controller/channel_command.h"

#include <algorithm>

namespace relay {

namespace {

// The channels a switching frame concerns, and whether it energises them.
std::pair<ChannelBits, bool> switched(const Frame& frame) {
    if (frame[2] == cmd::SwitchAll) {
        return {ChannelBits{0xFFFF}, frame[5] == AllOn};
    }
    if ((frame[2] == cmd::Energise || frame[2] == cmd::Release) && frame[6] >= 1 &&
        frame[6] <= ChannelCount) {
        return {channel_bit(frame[6]), frame[2] == cmd::Energise};
    }
    return {ChannelBits{0}, false};
}

}  // namespace

void LineMemory::Unwritten::add(ChannelBits channels, int count) {
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        if (channels & channel_bit(channel)) {
            int& frames_of = frames[static_cast<std::size_t>(channel - 1)];
            frames_of = std::max(0, frames_of + count);
        }
    }
}

ChannelBits LineMemory::Unwritten::channels() const {
    ChannelBits channels = 0;
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        if (frames[static_cast<std::size_t>(channel - 1)] > 0) {
            channels |= channel_bit(channel);
        }
    }
    return channels;
}

void LineMemory::queued(const Frame& frame) {
    const auto [bits, on] = switched(frame);
    Board& board = m_boards[frame[1]];
    (on ? board.unwritten_energise : board.unwritten_release).add(bits, 1);
}

void LineMemory::written(const Frame& frame) {
    const auto [bits, on] = switched(frame);
    const auto it = m_boards.find(frame[1]);
    if (bits == 0 || it == m_boards.end()) {
        return;
    }
    (on ? it->second.unwritten_energise : it->second.unwritten_release).add(bits, -1);
    // Until its reply, the last reply does not show it: the channels may be on.
    if (on) {
        it->second.unanswered_energise |= bits;
    }
}

bool LineMemory::shown(const BoardState& state, std::int64_t now_ms) {
    Board& board = m_boards[state.address];
    const ChannelBits shown = state.channels.value_or(0);
    const bool first = !board.heard;
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        const ChannelBits bit = channel_bit(channel);
        // When first heard, how long a channel has been off is unknown: from now.
        if (!(shown & bit) && (first || (board.shown & bit))) {
            board.released_ms[static_cast<std::size_t>(channel - 1)] = now_ms;
        }
    }
    board.heard = true;
    board.shown = shown;
    board.unanswered_energise = 0;  // one exchange at a time: this reply was its
    return first;
}

void LineMemory::line_closed() {
    for (auto& [address, board] : m_boards) {
        board.unwritten_energise = {};
        board.unwritten_release = {};
        board.unanswered_energise = 0;
    }
}

ChannelBits LineMemory::maybe_on(const BoardState* state, ChannelBits channels) const {
    const auto it = state ? m_boards.find(state->address) : m_boards.end();
    const Board none;
    const Board& board = it == m_boards.end() ? none : it->second;
    const ChannelBits shown = state && state->channels ? *state->channels : channels;
    // A queued release hides what is shown, never an energise queued beside it:
    // which of the two goes last is not known here.
    const auto on = static_cast<ChannelBits>(
        ((shown | board.unanswered_energise) & ~board.unwritten_release.channels()) |
        board.unwritten_energise.channels());
    return static_cast<ChannelBits>(on & channels);
}

std::optional<std::int64_t> LineMemory::free_at(const BoardState& state, ChannelBits channels,
                                                int dead_time_ms) const {
    const auto it = m_boards.find(state.address);
    if (!state.channels || it == m_boards.end()) {
        return std::nullopt;
    }
    const Board& board = it->second;
    // One exchange at a time: the first reply after a release is its own.
    if ((*state.channels & channels) ||
        ((board.unwritten_energise.channels() | board.unwritten_release.channels() |
          board.unanswered_energise) &
         channels)) {
        return std::nullopt;
    }
    std::int64_t released = 0;
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        if (channels & channel_bit(channel)) {
            released = std::max(released, board.released_ms[static_cast<std::size_t>(channel - 1)]);
        }
    }
    return released + dead_time_ms;
}

}  // namespace relay
