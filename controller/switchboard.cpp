#include "controller/switchboard.h"

#include <algorithm>
#include <utility>

namespace relay {

namespace {

CommandOutcome refused(const QString& why) {
    return {CommandOutcome::Result::Refused, why, 0};
}

}  // namespace

Switchboard::Switchboard(FrameWriter writer, BusEvents& events)
    : m_events(events),
      m_writer(std::move(writer)),
      m_poller([this](const Frame& frame) { written(frame); }, *this) {}

void Switchboard::submit(const ChannelCommand& command, int timeout_ms, Done done, bool verify,
                         int origin, FrameCause cause) {
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
    const ChannelBits mask = command.mask();
    const ChannelBits current = board->channels.value_or(0);
    const auto energise = static_cast<ChannelBits>(
        (command.on | command.pulse | (command.toggle & static_cast<ChannelBits>(~current))) &
        mask);
    if (const QString why = rules_refusal(m_rules.board(command.address), command, energise);
        !why.isEmpty()) {
        done(refused(why));
        return;
    }
    const BoardRules& rules = m_rules.board(command.address);
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        if (command.pulse & channel_bit(channel)) {
            m_pulses.arm(command.address, channel,
                         command.pulse_ms ? command.pulse_ms
                                          : rules.pulse_ms[static_cast<std::size_t>(channel - 1)]);
        }
    }
    // The latest command wins over an energise still waiting for its group.
    for (const Hold& held : std::vector<Hold>(m_holds)) {
        if (held.address == command.address &&
            ((channel_bit(held.channel) & mask) || (held.others & energise))) {
            finish(held.command,
                   refused(QStringLiteral("channel %1 was switched by a later command")
                               .arg(held.channel)));
        }
    }
    const int id = ++m_last_command;
    Command made{command.address, mask, energise, timeout_ms, verify, origin, cause, 0, false, {}};
    made.done = std::move(done);
    m_commands[id] = std::move(made);
    ChannelBits held = 0;
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        if ((energise & channel_bit(channel)) && rules.group_of(channel) != 0) {
            held |= channel_bit(channel);
        }
    }
    queue_command(id, static_cast<ChannelBits>(mask & ~energise),
                  static_cast<ChannelBits>(energise & ~held), held);
}

void Switchboard::queue_command(int id, ChannelBits release, ChannelBits energise,
                                ChannelBits held) {
    const Command& command = m_commands[id];
    const std::uint8_t address = command.address;
    if (command.mask == 0xFFFF && held == 0 && (release == 0xFFFF || energise == 0xFFFF)) {
        const std::uint8_t data = energise ? AllOn : AllOff;
        queue(build_frame(address, cmd::SwitchAll, data, data), command.origin, command.cause);
    } else {
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            const std::uint8_t code = (release & channel_bit(channel))    ? cmd::Release
                                      : (energise & channel_bit(channel)) ? cmd::Energise
                                                                          : 0;
            if (code) {
                queue(build_frame(address, code, 0x00, static_cast<std::uint8_t>(channel)),
                      command.origin, command.cause);
            }
        }
    }
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        if (held & channel_bit(channel)) {
            hold(id, channel,
                 static_cast<ChannelBits>(m_rules.board(address).group_of(channel) &
                                          ~channel_bit(channel)));
        }
    }
    release_holds();
    const auto it = m_commands.find(id);
    if (it != m_commands.end() && it->second.held == 0) {
        arm(id);
    }
}

void Switchboard::take_frame(const Frame& frame, int origin) {
    const std::uint8_t address = frame[1];
    const BoardRules& rules = m_rules.board(address);
    const int channel = frame[6];
    if (frame[2] == cmd::SwitchAll && (frame[5] || frame[6]) && !rules.groups.empty()) {
        tell(SwitchNotice::Kind::FrameRefused, address, 0xFFFF,
             QStringLiteral("all on from a shared port refused: board %1 has interlocked channels")
                 .arg(address));
        return;
    }
    if (frame[2] == cmd::Energise && channel >= 1 && channel <= ChannelCount &&
        rules.group_of(channel) != 0 && m_poller.board(address)) {
        // Carried out the interlocked way; the program gets the energise's reply.
        ChannelCommand command;
        command.address = address;
        command.on = channel_bit(channel);
        submit(command, BusPoller::SilenceMs, [](const CommandOutcome&) {}, false, origin,
               {FrameCause::Kind::Shared, origin});
        return;
    }
    m_poller.send_command(address, frame[2], frame[5], frame[6], origin,
                          {FrameCause::Kind::Shared, origin});
}

void Switchboard::end_pulses(std::int64_t now_ms) {
    m_pulses.end_all(now_ms);
    advance(now_ms);
}

// Frames the switchboard queues are remembered until they are on the line,
// so that an interlock sees what is about to happen as well as what did.
void Switchboard::queue(const Frame& frame, int origin, FrameCause cause) {
    if (m_line_open) {
        m_memory.queued(frame);
    }
    m_poller.send_command(frame[1], frame[2], frame[5], frame[6], origin, cause);
}

void Switchboard::written(const Frame& frame) {
    m_causes.written(frame, m_poller.writing_cause(), m_now_ms);
    m_pulses.written(frame, m_now_ms);
    m_memory.written(frame);
    m_writer(frame);
}

void Switchboard::hold(int id, int channel, ChannelBits others) {
    Command& command = m_commands[id];
    // Whatever of the group may be on, or is about to be, is released first.
    const ChannelBits maybe_on = m_memory.maybe_on(m_poller.board(command.address), others);
    const FrameCause cause{FrameCause::Kind::Interlock,
                           command.cause.kind == FrameCause::Kind::Command ? command.cause.tag : 0};
    for (int other = 1; other <= ChannelCount; ++other) {
        if (maybe_on & channel_bit(other)) {
            queue(
                build_frame(command.address, cmd::Release, 0x00, static_cast<std::uint8_t>(other)),
                0, cause);
        }
    }
    command.held |= channel_bit(channel);
    const int dead = m_rules.board(command.address).dead_time_ms;
    m_holds.push_back(Hold{id, command.address, channel, others, command.timeout_ms + dead});
}

std::optional<std::int64_t> Switchboard::free_at(const Hold& held) const {
    const BoardState* board = m_poller.board(held.address);
    return board ? m_memory.free_at(*board, held.others, m_rules.board(held.address).dead_time_ms)
                 : std::nullopt;
}

void Switchboard::release_holds() {
    for (std::size_t i = 0; i < m_holds.size();) {
        const Hold held = m_holds[i];
        const auto at = free_at(held);
        if (at && m_now_ms >= *at) {
            m_holds.erase(m_holds.begin() + static_cast<std::ptrdiff_t>(i));
            Command& command = m_commands[held.command];
            queue(build_frame(held.address, cmd::Energise, 0x00,
                              static_cast<std::uint8_t>(held.channel)),
                  command.origin, command.cause);
            command.held &= static_cast<ChannelBits>(~channel_bit(held.channel));
            if (command.held == 0) {
                arm(held.command);
            }
            continue;
        }
        if (held.give_up_ms >= 0 && m_now_ms >= held.give_up_ms) {
            finish(held.command, {CommandOutcome::Result::NotVerified,
                                  QStringLiteral("interlock: channels %1 were not shown released")
                                      .arg(channel_text(held.others)),
                                  channel_bit(held.channel)});
            continue;  // finish() removed its holds
        }
        ++i;
    }
}

void Switchboard::arm(int id) {
    Command& command = m_commands[id];
    command.armed = true;
    if (command.verify) {
        m_jobs[m_poller.expect(command.address, command.mask, command.wanted, command.timeout_ms)] =
            id;
    }
}

void Switchboard::finish(int id, const CommandOutcome& outcome) {
    const auto it = m_commands.find(id);
    if (it == m_commands.end()) {
        return;
    }
    const Done done = std::move(it->second.done);
    m_commands.erase(it);
    m_holds.erase(std::remove_if(m_holds.begin(), m_holds.end(),
                                 [id](const Hold& held) { return held.command == id; }),
                  m_holds.end());
    done(outcome);
}

void Switchboard::job_finished(int job, JobResult result) {
    if (const auto release = m_release_jobs.find(job); release != m_release_jobs.end()) {
        const PulseTimers::Channel channel = release->second;
        m_release_jobs.erase(release);
        if (result == JobResult::Verified) {
            m_pulses.release_verified(channel);
            tell(SwitchNotice::Kind::PulseEnded, channel.first, channel_bit(channel.second),
                 QStringLiteral("pulse of channel %1 ended").arg(channel.second));
        } else {
            m_pulses.release_failed(channel, m_now_ms);
            tell(SwitchNotice::Kind::PulseReleaseFailed, channel.first, channel_bit(channel.second),
                 QStringLiteral("pulse of channel %1: release not verified; sent again")
                     .arg(channel.second));
        }
        return;
    }
    const auto it = m_jobs.find(job);
    if (it == m_jobs.end()) {
        m_events.job_finished(job, result);
        return;
    }
    const int id = it->second;
    m_jobs.erase(it);
    const auto command = m_commands.find(id);
    if (command == m_commands.end()) {
        return;
    }
    const Command& done = command->second;
    if (result == JobResult::Verified) {
        finish(id, {});
    } else if (result == JobResult::NoReply) {
        finish(id, {CommandOutcome::Result::NoReply, QStringLiteral("no reply"), done.mask});
    } else {
        const BoardState* board = m_poller.board(done.address);
        const ChannelBits shown = board && board->channels ? *board->channels : 0;
        finish(id, {CommandOutcome::Result::NotVerified, QStringLiteral("not verified"),
                    static_cast<ChannelBits>((shown & done.mask) ^ done.wanted)});
    }
}

void Switchboard::replied(const Frame& reply) {
    if (const BoardState* board = m_poller.board(reply[ReplyAddress]); board && board->channels) {
        for (const ChannelChange& change : m_causes.shown(*board, m_now_ms)) {
            if (m_change) {
                m_change(change);
            }
        }
        watch_board(*board, m_memory.shown(*board, m_now_ms));
    }
    m_events.replied(reply);
    release_holds();
}

void Switchboard::watch_board(const BoardState& board, bool first) {
    const ChannelBits shown = *board.channels;
    ChannelBits& breaking = m_breaking[board.address];
    const BoardRules& rules = m_rules.board(board.address);
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        if ((shown & rules.momentary & channel_bit(channel)) &&
            !m_pulses.running(board.address, channel)) {
            if (first) {
                queue(build_frame(board.address, cmd::Release, 0x00,
                                  static_cast<std::uint8_t>(channel)),
                      0, {FrameCause::Kind::Momentary, 0});
                tell(SwitchNotice::Kind::MomentaryReleased, board.address, channel_bit(channel),
                     QStringLiteral("momentary channel %1 found energised: released").arg(channel));
            } else {
                m_pulses.start(board.address, channel, m_now_ms);
            }
        }
    }
    for (const ChannelBits group : rules.groups) {
        if (channel_count(shown & group) < 2) {
            breaking &= static_cast<ChannelBits>(~group);
            continue;
        }
        if (breaking & group) {
            continue;
        }
        // Two of a group on: all off is the safe state for a motor.
        breaking |= group;
        for (const Hold& held : std::vector<Hold>(m_holds)) {
            if (held.address == board.address && (held.others & group)) {
                finish(held.command, refused(QStringLiteral("interlocked channels %1 were "
                                                            "energised together: all released")
                                                 .arg(channel_text(shown & group))));
            }
        }
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            if (shown & group & channel_bit(channel)) {
                queue(build_frame(board.address, cmd::Release, 0x00,
                                  static_cast<std::uint8_t>(channel)),
                      0, {FrameCause::Kind::Interlock, 0});
            }
        }
        tell(SwitchNotice::Kind::InterlockBroken, board.address, shown & group,
             QStringLiteral("interlocked channels %1 were energised together (another master?): "
                            "released")
                 .arg(channel_text(shown & group)));
    }
}

void Switchboard::send_due_releases() {
    if (!m_line_open) {
        return;  // overdue when the line is back, and sent first then
    }
    for (const PulseTimers::Channel& due : m_pulses.take_due(m_now_ms)) {
        queue(build_frame(due.first, cmd::Release, 0x00, static_cast<std::uint8_t>(due.second)), 0,
              {FrameCause::Kind::Pulse, 0});
        m_release_jobs[m_poller.expect(due.first, channel_bit(due.second), 0,
                                       BusPoller::SilenceMs)] = due;
    }
}

void Switchboard::advance(std::int64_t now_ms) {
    m_now_ms = now_ms;
    // A hold's time counts from the first advance after it, not from the
    // last event before the command came.
    for (Hold& held : m_holds) {
        if (held.give_up_ms < 0) {
            held.give_up_ms = now_ms + held.wait_ms;
        }
    }
    send_due_releases();
    release_holds();
    if (!m_poller.commands_pending()) {
        std::vector<int> sent;
        for (const auto& [id, command] : m_commands) {
            if (command.armed && !command.verify) {
                sent.push_back(id);
            }
        }
        for (const int id : sent) {
            finish(id, {});
        }
    }
    const bool reserved = m_reserved && now_ms < *m_reserved + ReservedWaitMs;
    const auto release = m_pulses.next_deadline_ms();
    if (release && *release > now_ms && (!reserved || *release < *m_reserved)) {
        m_poller.keep_free_at(release);
    } else {
        m_poller.keep_free_at(reserved ? m_reserved : std::nullopt,
                              reserved ? *m_reserved + ReservedWaitMs : 0);
    }
    m_poller.advance(now_ms);
}

void Switchboard::receive(const Frame& group, std::int64_t now_ms) {
    m_now_ms = now_ms;
    m_poller.receive(group, now_ms);
}

std::optional<std::int64_t> Switchboard::next_deadline_ms() const {
    std::optional<std::int64_t> next = m_poller.next_deadline_ms();
    const auto consider = [&next](std::int64_t at) { next = next ? std::min(*next, at) : at; };
    if (const auto due = m_pulses.next_deadline_ms(); due && m_line_open) {
        consider(*due);
    }
    for (const Hold& held : m_holds) {
        consider(held.give_up_ms < 0 ? m_now_ms : held.give_up_ms);
        if (const auto at = free_at(held)) {
            consider(*at);
        }
    }
    return next;
}

void Switchboard::line_closed(std::int64_t now_ms) {
    m_now_ms = now_ms;
    m_line_open = false;
    m_poller.line_closed(now_ms);
    m_pulses.line_closed();
    m_memory.line_closed();
}

void Switchboard::line_opened(std::int64_t now_ms) {
    m_now_ms = now_ms;
    m_line_open = true;
    m_poller.line_opened();
}

void Switchboard::tell(SwitchNotice::Kind kind, std::uint8_t address, ChannelBits channels,
                       const QString& text) {
    if (m_notice) {
        m_notice({kind, address, channels, text});
    }
}

}  // namespace relay
