#pragma once

#include "controller/switch_rules.h"
#include "protocol/frame.h"

#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace relay {

// The pulses of a line, timed by the frames themselves: a pulse starts when
// the energise frame of its channel is written, and its release is due
// length_ms later. Any energise of the channel meanwhile restarts it, any
// release (an OFF) ends it; nothing else touches it.
class PulseTimers {
public:
    using Channel = std::pair<std::uint8_t, int>;  // address, channel 1..16

    // An unverified release is sent again after this long.
    static constexpr int RetryMs = 1000;

    explicit PulseTimers(const SwitchRules& rules) : m_rules(rules) {}

    // The channel's next energise starts a pulse of length_ms.
    void arm(std::uint8_t address, int channel, int length_ms);
    // A pulse from now, for a momentary channel energised by somebody else.
    void start(std::uint8_t address, int channel, std::int64_t now_ms);
    void written(const Frame& frame, std::int64_t now_ms);

    // The releases due now; each is marked as going out.
    std::vector<Channel> take_due(std::int64_t now_ms);
    void release_verified(const Channel& channel);
    void release_failed(const Channel& channel, std::int64_t now_ms);
    // Every running pulse is due now (an orderly stop).
    void end_all(std::int64_t now_ms);
    // Frames that were queued are gone: their pulses never started or ended.
    void line_closed();

    std::optional<std::int64_t> next_deadline_ms() const;
    bool running(std::uint8_t address, int channel) const;
    bool any_running() const;

private:
    struct Pulse {
        int length_ms = 0;
        std::int64_t due_ms = -1;  // -1: armed, not started yet
        bool releasing = false;    // its release is queued or awaits its reply
    };

    void energised(std::uint8_t address, int channel, std::int64_t now_ms);
    void released(std::uint8_t address, int channel);

    const SwitchRules& m_rules;
    std::map<Channel, Pulse> m_pulses;
};

}  // namespace relay
