#pragma once

#include "controller/bus_poller.h"
#include "controller/change_causes.h"
#include "controller/channel_command.h"
#include "controller/line_memory.h"
#include "controller/pulse_timers.h"
#include "controller/switch_rules.h"

#include <QString>

#include <functional>
#include <map>
#include <vector>

namespace relay {

// How a command ended.
struct CommandOutcome {
    enum class Result { Verified, Refused, NotVerified, NoReply };
    Result result = Result::Verified;
    QString reason;            // in words; the error of an event
    ChannelBits channels = 0;  // NotVerified: those not as wanted; NoReply: those asked
};

// What the switchboard did of its own accord, for the log and the error events.
struct SwitchNotice {
    enum class Kind {
        PulseEnded,          // a pulse's release verified
        PulseReleaseFailed,  // not verified: sent again until it is
        MomentaryReleased,   // found energised when first heard
        InterlockBroken,     // two of a group energised by another master
        FrameRefused,        // a shared port's frame that would break an interlock
    };
    Kind kind = Kind::PulseEnded;
    std::uint8_t address = 0;
    ChannelBits channels = 0;
    QString text;
};

// Commands of every source on one bus poller: checked against the switching
// rules, turned into frames and verified from the boards' replies; pulses are
// released on time and interlocked channels are never energised together,
// whoever asks. The poller's other events go on to the program's BusEvents.
class Switchboard : private BusEvents {
public:
    using Done = std::function<void(const CommandOutcome&)>;

    Switchboard(FrameWriter writer, BusEvents& events);

    BusPoller& poller() { return m_poller; }
    const BusPoller& poller() const { return m_poller; }
    void set_rules(SwitchRules rules) { m_rules = std::move(rules); }
    const SwitchRules& rules() const { return m_rules; }
    void on_notice(std::function<void(const SwitchNotice&)> notice) {
        m_notice = std::move(notice);
    }
    // Every change a reply shows, with its cause.
    void on_change(std::function<void(const ChannelChange&)> change) {
        m_change = std::move(change);
    }

    // done is called once: at once when refused; else when the board's replies
    // show the channels as wanted, or timeout_ms after the last frame went out.
    // Without verify, done once the frames are out. Replies to its frames go to
    // origin (a shared port), 0 for none. The changes it makes are put down
    // to cause (its tag is the caller's).
    void submit(const ChannelCommand& command, int timeout_ms, Done done, bool verify = true,
                int origin = 0, FrameCause cause = {FrameCause::Kind::Command, 0});
    // A frame another program sent on a shared port; its reply goes back to origin.
    void take_frame(const Frame& frame, int origin);
    // Commands queued, held by an interlock or on the line.
    bool busy() const { return m_poller.commands_pending() || !m_holds.empty(); }
    bool pulse_running(std::uint8_t address, int channel) const {
        return m_pulses.running(address, channel);
    }
    bool pulses_running() const { return m_pulses.any_running(); }
    // Every running pulse is released now (an orderly stop).
    void end_pulses(std::int64_t now_ms);

    // A frame of somebody else's is due at at_ms (a schedule's run): the line
    // is kept free for it, as for a pulse's release, and for ReservedWaitMs
    // after, for it comes from another timer that may fire a little later.
    static constexpr int ReservedWaitMs = 10;
    void reserve(std::optional<std::int64_t> at_ms) { m_reserved = at_ms; }

    void advance(std::int64_t now_ms);
    void receive(const Frame& group, std::int64_t now_ms);
    std::optional<std::int64_t> next_deadline_ms() const;
    void line_closed(std::int64_t now_ms);
    // Overdue releases go out first, at the next advance(), ahead of polls.
    void line_opened(std::int64_t now_ms);

private:
    struct Command {
        std::uint8_t address = 0;
        ChannelBits mask = 0;
        ChannelBits wanted = 0;
        int timeout_ms = 0;
        bool verify = true;
        int origin = 0;
        FrameCause cause;
        ChannelBits held = 0;  // energises waiting for their group to be released
        bool armed = false;    // every frame queued
        Done done;
    };
    struct Hold {
        int command = 0;
        std::uint8_t address = 0;
        int channel = 0;
        ChannelBits others = 0;  // the rest of its group
        int wait_ms = 0;         // for its group, from when it is first seen
        std::int64_t give_up_ms = -1;
    };
    void replied(const Frame& reply) override;
    void availability_changed(const BoardState& board) override {
        m_events.availability_changed(board);
    }
    void job_finished(int job, JobResult result) override;
    void unanswered(const Frame& request) override { m_events.unanswered(request); }
    void scan_progress(int address) override { m_events.scan_progress(address); }
    void scan_finished() override { m_events.scan_finished(); }
    void answered(int origin, const Frame& reply) override { m_events.answered(origin, reply); }

    void queue(const Frame& frame, int origin, FrameCause cause);
    void written(const Frame& frame);
    // When channel may be energised: its group shown released, long enough.
    std::optional<std::int64_t> free_at(const Hold& hold) const;
    void hold(int id, int channel, ChannelBits others);
    void queue_command(int id, ChannelBits release, ChannelBits energise, ChannelBits held);
    void release_holds();
    void supersede(std::uint8_t address, ChannelBits channels);
    void arm(int id);
    void finish(int id, const CommandOutcome& outcome);
    void watch_board(const BoardState& board, bool first);
    void send_due_releases();
    void tell(SwitchNotice::Kind kind, std::uint8_t address, ChannelBits channels,
              const QString& text);

    BusEvents& m_events;
    FrameWriter m_writer;
    BusPoller m_poller;
    SwitchRules m_rules;
    PulseTimers m_pulses{m_rules};
    std::function<void(const SwitchNotice&)> m_notice;
    std::function<void(const ChannelChange&)> m_change;
    ChangeCauses m_causes;
    std::map<int, Command> m_commands;
    std::vector<Hold> m_holds;
    std::map<int, int> m_jobs;  // the poller's job: a command
    std::map<int, PulseTimers::Channel> m_release_jobs;
    LineMemory m_memory;
    std::map<std::uint8_t, ChannelBits> m_breaking;  // groups being released after a break
    int m_last_command = 0;
    std::optional<std::int64_t> m_reserved;
    std::int64_t m_now_ms = 0;
    bool m_line_open = true;
};

}  // namespace relay
