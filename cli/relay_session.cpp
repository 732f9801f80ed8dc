#include "cli/relay_session.h"

#include <algorithm>
#include <utility>

namespace relay {

namespace {

bool is_switching(CliCommand command) {
    switch (command) {
        case CliCommand::On:
        case CliCommand::Off:
        case CliCommand::Toggle:
        case CliCommand::AllOn:
        case CliCommand::AllOff:
            return true;
        default:
            return false;
    }
}

BoardController::Command channel_command(std::uint8_t address, int channel, ChannelLook wanted) {
    return {address, wanted == ChannelLook::Energised ? cmd::Energise : cmd::Release, 0x00,
            static_cast<std::uint8_t>(channel)};
}

}  // namespace

RelaySession::RelaySession(const CliOptions& options, FrameWriter writer)
    : m_options(options), m_controller(m_view, std::move(writer)) {
    if (m_options.timeout_ms <= 0) {
        m_options.timeout_ms =
            m_options.command == CliCommand::Scan ? DefaultScanWindowMs : DefaultTimeoutMs;
    }
    // The controller sends to the address the view holds: the new one, for a
    // write, is where the verifying status queries go.
    m_view.set_address(m_options.command == CliCommand::WriteAddress ? m_options.new_address
                                                                     : m_options.address);
    m_next_address = m_options.scan_from;
    const std::uint8_t address = m_options.address;
    switch (m_options.command) {
        case CliCommand::On:
        case CliCommand::Off: {
            const ChannelLook wanted = m_options.command == CliCommand::On ? ChannelLook::Energised
                                                                           : ChannelLook::Released;
            for (const int channel : m_options.channels) {
                m_wanted[static_cast<std::size_t>(channel - 1)] = wanted;
                m_to_send.push_back(channel_command(address, channel, wanted));
            }
            break;
        }
        case CliCommand::AllOn:
        case CliCommand::AllOff: {
            const bool on = m_options.command == CliCommand::AllOn;
            m_wanted.fill(on ? ChannelLook::Energised : ChannelLook::Released);
            const std::uint8_t data = on ? AllOn : AllOff;
            m_to_send.push_back({address, cmd::SwitchAll, data, data});
            break;
        }
        case CliCommand::Toggle:
            // The wanted states come from the board's own report.
            m_phase = Phase::Reading;
            break;
        default:
            break;
    }
}

int RelaySession::tick_interval_ms() const {
    return m_options.command == CliCommand::Scan ? m_options.timeout_ms
                                                 : BoardController::TickMilliseconds;
}

void RelaySession::tick() {
    if (finished()) {
        return;
    }
    switch (m_options.command) {
        case CliCommand::Status:
            if (wait_one_tick()) {
                m_controller.tick();
            }
            return;
        case CliCommand::ReadAddress:
            // Asked again each tick: the answer is all this command is for.
            if (wait_one_tick()) {
                m_controller.read_address();
                m_controller.tick();
            }
            return;
        case CliCommand::WriteAddress:
            if (m_phase == Phase::Sending) {
                m_controller.write_address();
                m_controller.tick();
                m_phase = Phase::Verifying;
            } else if (!m_options.verify) {
                finish(Outcome::Done);
            } else if (wait_one_tick()) {
                m_controller.tick();
            }
            return;
        case CliCommand::Scan:
            if (m_next_address > m_options.scan_to) {
                finish(m_found.empty() ? Outcome::NoReply : Outcome::Done);
            } else {
                query_next_address();
            }
            return;
        case CliCommand::Watch:
            tick_watch();
            return;
        default:
            if (is_switching(m_options.command)) {
                tick_switching();
            }
            return;
    }
}

void RelaySession::receive(const Frame& group) {
    if (finished()) {
        return;
    }
    const bool status_reply = check_reply(group) && group[ReplyCommand] == cmd::Status;
    m_controller.receive(group);
    const bool replied = m_view.take_reply();
    if (replied) {
        m_board_answered = true;
        if (m_options.command != CliCommand::Watch) {
            m_looks = m_view.looks();
        }
    }
    switch (m_options.command) {
        case CliCommand::Status:
            if (replied) {
                finish(Outcome::Done);
            }
            return;
        case CliCommand::ReadAddress:
            if (const auto reported = m_view.take_adopted()) {
                m_view.set_address(*reported);
                finish(Outcome::Done);
            }
            return;
        case CliCommand::WriteAddress:
            // The write's own reply says little: a status query proves it.
            if (replied && status_reply && m_phase == Phase::Verifying && m_options.verify) {
                finish(Outcome::Done);
            }
            return;
        case CliCommand::Scan:
            if (replied) {
                m_found.push_back({m_view.address(), m_view.looks()});
                // No need to sit out the window of an address that answered.
                tick();
            }
            return;
        case CliCommand::Watch:
            if (replied) {
                receive_watch();
            }
            return;
        default:
            if (replied && is_switching(m_options.command)) {
                receive_switching();
            }
            return;
    }
}

std::vector<int> RelaySession::unswitched() const {
    std::vector<int> channels;
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        const auto i = static_cast<std::size_t>(channel - 1);
        if (m_wanted[i] && *m_wanted[i] != m_looks[i]) {
            channels.push_back(channel);
        }
    }
    return channels;
}

void RelaySession::on_watch_event(std::function<void(const WatchEvent&)> handler) {
    m_watch_handler = std::move(handler);
}

void RelaySession::on_scan_progress(std::function<void(int address)> handler) {
    m_progress_handler = std::move(handler);
}

void RelaySession::tick_switching() {
    switch (m_phase) {
        case Phase::Reading:
            if (wait_one_tick()) {
                m_controller.tick();
            }
            return;
        case Phase::Sending: {
            // One command per tick, as the panel's pending slot sends them.
            const BoardController::Command& next = m_to_send[m_sent++];
            m_controller.queue_command(next.command, next.data1, next.data2);
            m_controller.tick();
            if (m_sent == m_to_send.size()) {
                m_phase = Phase::Verifying;
                m_ticks_waited = 0;
            }
            return;
        }
        case Phase::Verifying:
            if (!m_options.verify) {
                finish(Outcome::Done);
            } else if (wait_one_tick()) {
                m_controller.tick();
            }
            return;
    }
}

void RelaySession::receive_switching() {
    if (m_phase == Phase::Reading) {
        choose_wanted();
        m_phase = Phase::Sending;
        m_ticks_waited = 0;
    } else if (m_phase == Phase::Verifying && m_options.verify && unswitched().empty()) {
        finish(Outcome::Done);
    }
}

void RelaySession::choose_wanted() {
    for (const int channel : m_options.channels) {
        const auto i = static_cast<std::size_t>(channel - 1);
        const ChannelLook wanted =
            m_looks[i] == ChannelLook::Energised ? ChannelLook::Released : ChannelLook::Energised;
        m_wanted[i] = wanted;
        m_to_send.push_back(channel_command(m_options.address, channel, wanted));
    }
}

void RelaySession::tick_watch() {
    m_controller.tick();
    ++m_ticks_waited;
    const ChannelLooks& shown = m_view.looks();
    const bool watchdog_fired =
        std::find(shown.begin(), shown.end(), ChannelLook::Unknown) != shown.end();
    // The controller's watchdog only runs once a reply has armed it; before
    // that the same count of ticks applies.
    if ((m_watch == WatchState::Answering && watchdog_fired) ||
        (m_watch == WatchState::Starting && m_ticks_waited > BoardController::WatchdogTicks)) {
        m_watch = WatchState::Silent;
        WatchEvent event;
        event.kind = WatchEvent::Kind::Silent;
        event.before = m_looks;
        m_looks = unknown_looks();
        if (m_watch_handler) {
            m_watch_handler(event);
        }
    }
}

void RelaySession::receive_watch() {
    m_ticks_waited = 0;
    WatchEvent event;
    event.before = m_looks;
    event.looks = m_view.looks();
    switch (m_watch) {
        case WatchState::Starting:
            event.kind = WatchEvent::Kind::Initial;
            break;
        case WatchState::Silent:
            event.kind = WatchEvent::Kind::Back;
            break;
        case WatchState::Answering:
            event.kind = WatchEvent::Kind::Change;
            for (int channel = 1; channel <= ChannelCount; ++channel) {
                const auto i = static_cast<std::size_t>(channel - 1);
                if (event.before[i] != event.looks[i]) {
                    event.changed.push_back(channel);
                }
            }
            break;
    }
    m_watch = WatchState::Answering;
    m_looks = event.looks;
    if (m_watch_handler && (event.kind != WatchEvent::Kind::Change || !event.changed.empty())) {
        m_watch_handler(event);
    }
}

void RelaySession::query_next_address() {
    const int address = m_next_address++;
    m_view.set_address(static_cast<std::uint8_t>(address));
    if (m_progress_handler) {
        m_progress_handler(address);
    }
    m_controller.poll_board();
}

bool RelaySession::wait_one_tick() {
    const int allowed = (m_options.timeout_ms + BoardController::TickMilliseconds - 1) /
                        BoardController::TickMilliseconds;
    if (++m_ticks_waited > allowed) {
        finish(m_board_answered ? Outcome::NotVerified : Outcome::NoReply);
        return false;
    }
    return true;
}

void RelaySession::finish(Outcome outcome) {
    m_outcome = outcome;
}

}  // namespace relay
