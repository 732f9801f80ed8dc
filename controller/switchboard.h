#pragma once

#include "controller/bus_poller.h"
#include "controller/channel_command.h"

#include <QString>

#include <functional>
#include <map>

namespace relay {

// How a command ended.
struct CommandOutcome {
    enum class Result { Verified, Refused, NotVerified, NoReply };
    Result result = Result::Verified;
    QString reason;            // Refused: why, in words
    ChannelBits channels = 0;  // NotVerified: those not as wanted; NoReply: those asked
};

// Commands of every source on one bus poller: checked, turned into frames and
// verified from the boards' replies. The poller's other events go on to the
// program's BusEvents.
class Switchboard : private BusEvents {
public:
    using Done = std::function<void(const CommandOutcome&)>;

    Switchboard(FrameWriter writer, BusEvents& events);

    BusPoller& poller() { return m_poller; }
    const BusPoller& poller() const { return m_poller; }

    // done is called once: at once when refused, else when the board's replies
    // show the channels as wanted or timeout_ms after the last frame went out.
    void submit(const ChannelCommand& command, int timeout_ms, Done done);
    // A frame another program sent on a shared port; its reply goes back to origin.
    void take_frame(const Frame& frame, int origin);

    void advance(std::int64_t now_ms) { m_poller.advance(now_ms); }
    void receive(const Frame& group, std::int64_t now_ms) { m_poller.receive(group, now_ms); }
    std::optional<std::int64_t> next_deadline_ms() const { return m_poller.next_deadline_ms(); }

private:
    struct Pending {
        std::uint8_t address = 0;
        ChannelBits mask = 0;
        ChannelBits wanted = 0;
        Done done;
    };

    void replied(const Frame& reply) override { m_events.replied(reply); }
    void availability_changed(const BoardState& board) override {
        m_events.availability_changed(board);
    }
    void job_finished(int job, JobResult result) override;
    void unanswered(const Frame& request) override { m_events.unanswered(request); }
    void scan_progress(int address) override { m_events.scan_progress(address); }
    void scan_finished() override { m_events.scan_finished(); }
    void answered(int origin, const Frame& reply) override { m_events.answered(origin, reply); }

    BusEvents& m_events;
    BusPoller m_poller;
    std::map<int, Pending> m_pending;  // by the poller's job
};

}  // namespace relay
