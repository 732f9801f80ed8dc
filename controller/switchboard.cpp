#include "controller/switchboard.h"

#include <utility>

namespace relay {

namespace {

CommandOutcome refused(const QString& why) {
    return {CommandOutcome::Result::Refused, why, 0};
}

}  // namespace

Switchboard::Switchboard(FrameWriter writer, BusEvents& events)
    : m_events(events), m_poller(std::move(writer), *this) {}

void Switchboard::submit(const ChannelCommand& command, int timeout_ms, Done done) {
    const BoardState* board = m_poller.board(command.address);
    if (!board) {
        done(refused(QStringLiteral("board %1 is not served here").arg(command.address)));
        return;
    }
    if (command.toggle && !board->channels) {
        done(refused(QStringLiteral("board %1 has not answered yet: nothing to toggle")
                         .arg(command.address)));
        return;
    }
    if (command.pulse) {
        done(refused(QStringLiteral("no pulse length is configured for these channels")));
        return;
    }
    const ChannelBits current = board->channels.value_or(0);
    const auto target = static_cast<ChannelBits>(
        command.on | (command.toggle & static_cast<ChannelBits>(~current)));
    const ChannelBits mask = command.mask();
    m_poller.switch_channels(command.address, mask, target);
    const int job = m_poller.expect(command.address, mask, target & mask, timeout_ms);
    m_pending[job] = {command.address, mask, static_cast<ChannelBits>(target & mask),
                      std::move(done)};
}

void Switchboard::take_frame(const Frame& frame, int origin) {
    m_poller.send_command(frame[1], frame[2], frame[5], frame[6], origin);
}

void Switchboard::job_finished(int job, JobResult result) {
    const auto it = m_pending.find(job);
    if (it == m_pending.end()) {
        m_events.job_finished(job, result);
        return;
    }
    const Pending pending = std::move(it->second);
    m_pending.erase(it);
    CommandOutcome outcome;
    if (result == JobResult::NoReply) {
        outcome = {CommandOutcome::Result::NoReply, QStringLiteral("no reply"), pending.mask};
    } else if (result == JobResult::NotVerified) {
        const BoardState* board = m_poller.board(pending.address);
        const ChannelBits shown = board && board->channels ? *board->channels : 0;
        outcome = {CommandOutcome::Result::NotVerified, QStringLiteral("not verified"),
                   static_cast<ChannelBits>((shown & pending.mask) ^ pending.wanted)};
    }
    pending.done(outcome);
}

}  // namespace relay
