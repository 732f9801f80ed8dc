#include "controller/pulse_timers.h"

#include "controller/channel_command.h"

namespace relay {

void PulseTimers::arm(std::uint8_t address, int channel, int length_ms) {
    Pulse& pulse = m_pulses[{address, channel}];
    pulse.length_ms = length_ms;
    if (pulse.due_ms < 0) {
        pulse.releasing = false;
    }
}

void PulseTimers::start(std::uint8_t address, int channel, std::int64_t now_ms) {
    const int length = m_rules.board(address).pulse_ms[static_cast<std::size_t>(channel - 1)];
    m_pulses[{address, channel}] = Pulse{length, now_ms + length, false};
}

void PulseTimers::written(const Frame& frame, std::int64_t now_ms) {
    const std::uint8_t address = frame[1];
    const std::uint8_t command = frame[2];
    if (command == cmd::Energise || command == cmd::Release) {
        const int channel = frame[6];
        if (channel >= 1 && channel <= ChannelCount) {
            command == cmd::Energise ? energised(address, channel, now_ms)
                                     : released(address, channel);
        }
    } else if (command == cmd::SwitchAll) {
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            frame[5] == AllOn ? energised(address, channel, now_ms) : released(address, channel);
        }
    }
}

void PulseTimers::energised(std::uint8_t address, int channel, std::int64_t now_ms) {
    const auto it = m_pulses.find({address, channel});
    if (it != m_pulses.end()) {
        it->second.due_ms = now_ms + it->second.length_ms;
        it->second.releasing = false;
    } else if (m_rules.board(address).momentary & channel_bit(channel)) {
        start(address, channel, now_ms);
    }
}

void PulseTimers::released(std::uint8_t address, int channel) {
    const auto it = m_pulses.find({address, channel});
    // Its own release is kept until verified; any other ends the pulse.
    if (it != m_pulses.end() && !it->second.releasing) {
        m_pulses.erase(it);
    }
}

std::vector<PulseTimers::Channel> PulseTimers::take_due(std::int64_t now_ms) {
    std::vector<Channel> due;
    for (auto& [channel, pulse] : m_pulses) {
        if (pulse.due_ms >= 0 && !pulse.releasing && now_ms >= pulse.due_ms) {
            pulse.releasing = true;
            due.push_back(channel);
        }
    }
    return due;
}

void PulseTimers::release_verified(const Channel& channel) {
    const auto it = m_pulses.find(channel);
    if (it != m_pulses.end() && it->second.releasing) {
        m_pulses.erase(it);
    }
}

void PulseTimers::release_failed(const Channel& channel, std::int64_t now_ms) {
    const auto it = m_pulses.find(channel);
    if (it != m_pulses.end() && it->second.releasing) {
        it->second.releasing = false;
        it->second.due_ms = now_ms + RetryMs;
    }
}

void PulseTimers::end_all(std::int64_t now_ms) {
    for (auto& [channel, pulse] : m_pulses) {
        if (pulse.due_ms >= 0 && !pulse.releasing) {
            pulse.due_ms = now_ms;
        }
    }
}

void PulseTimers::line_closed() {
    for (auto it = m_pulses.begin(); it != m_pulses.end();) {
        if (it->second.due_ms < 0) {
            it = m_pulses.erase(it);  // its energise never went out
        } else {
            it->second.releasing = false;  // due again: overdue when the line is back
            ++it;
        }
    }
}

std::optional<std::int64_t> PulseTimers::next_deadline_ms() const {
    std::optional<std::int64_t> next;
    for (const auto& [channel, pulse] : m_pulses) {
        if (pulse.due_ms >= 0 && !pulse.releasing && (!next || pulse.due_ms < *next)) {
            next = pulse.due_ms;
        }
    }
    return next;
}

bool PulseTimers::running(std::uint8_t address, int channel) const {
    const auto it = m_pulses.find({address, channel});
    return it != m_pulses.end() && it->second.due_ms >= 0;
}

bool PulseTimers::any_running() const {
    for (const auto& [channel, pulse] : m_pulses) {
        if (pulse.due_ms >= 0) {
            return true;
        }
    }
    return false;
}

}  // namespace relay
