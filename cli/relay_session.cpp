#include "cli/relay_session.h"

#include <utility>

namespace relay {

namespace {

ChannelBits bit_of(int channel) {
    return static_cast<ChannelBits>(1u << (channel - 1));
}

}  // namespace

ChannelLooks looks_of(const std::optional<ChannelBits>& channels) {
    ChannelLooks looks = unknown_looks();
    if (channels) {
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            looks[static_cast<std::size_t>(channel - 1)] =
                (*channels & bit_of(channel)) ? ChannelLook::Energised : ChannelLook::Released;
        }
    }
    return looks;
}

RelaySession::RelaySession(const CliOptions& options, FrameWriter writer)
    : m_options(options), m_switchboard(std::move(writer), *this) {
    m_switchboard.set_rules(m_options.rules);
    // A pulse (or an ON of a momentary channel) is done once released: the
    // line is relayctl's only while it runs.
    m_switchboard.on_notice([this](const SwitchNotice& notice) {
        if (!m_pulsing || notice.address != m_address || !(notice.channels & m_mask)) {
            return;
        }
        m_pulse_failed = m_pulse_failed || notice.kind == SwitchNotice::Kind::PulseReleaseFailed;
        if (!pulsing()) {
            m_pulsing = false;
            m_wanted = 0;
            finish(m_pulse_failed ? Outcome::NotVerified : Outcome::Done);
        }
    });
    if (m_options.timeout_ms <= 0) {
        m_options.timeout_ms =
            m_options.command == CliCommand::Scan ? DefaultScanWindowMs : DefaultTimeoutMs;
    }
    // For a write, the board is looked for at its new address.
    m_address =
        m_options.command == CliCommand::WriteAddress ? m_options.new_address : m_options.address;
    for (const int channel : m_options.channels) {
        m_mask |= bit_of(channel);
    }
}

void RelaySession::begin(std::int64_t now_ms) {
    m_deadline_ms = now_ms + m_options.timeout_ms;
    const CliCommand command = m_options.command;
    if (command != CliCommand::Scan && command != CliCommand::ReadAddress) {
        m_switchboard.poller().set_boards({m_address});
    }
    switch (command) {
        case CliCommand::On:
        case CliCommand::Pulse:
            switch_to(m_mask);
            break;
        case CliCommand::Off:
            switch_to(0);
            break;
        case CliCommand::AllOn:
        case CliCommand::AllOff:
            m_mask = 0xFFFF;
            switch_to(command == CliCommand::AllOn ? 0xFFFF : 0);
            break;
        case CliCommand::ReadAddress:
            m_switchboard.poller().send_command(ServiceAddress, cmd::ReadAddress, 0x00, 0x00);
            break;
        case CliCommand::WriteAddress:
            m_switchboard.poller().send_command(ServiceAddress, cmd::WriteAddress, 0x00, m_address);
            break;
        case CliCommand::Scan:
            m_deadline_ms.reset();
            m_switchboard.poller().start_scan(m_options.scan_from, m_options.scan_to,
                                              m_options.timeout_ms);
            break;
        case CliCommand::Watch:
            m_deadline_ms.reset();
            break;
        default:
            // Status, and toggle, which reads the board before it switches.
            break;
    }
}

void RelaySession::switch_to(ChannelBits wanted) {
    m_wanted = wanted;
    m_switched = true;
    m_deadline_ms.reset();
    ChannelCommand command;
    command.address = m_address;
    if (m_options.command == CliCommand::Pulse) {
        command.pulse = m_mask;
        command.pulse_ms = m_options.pulse_ms;
    } else {
        command.on = static_cast<ChannelBits>(m_mask & wanted);
        command.off = static_cast<ChannelBits>(m_mask & ~wanted);
    }
    m_switchboard.submit(
        command, m_options.timeout_ms, [this](const CommandOutcome& outcome) { switched(outcome); },
        m_options.verify);
}

void RelaySession::switched(const CommandOutcome& outcome) {
    switch (outcome.result) {
        case CommandOutcome::Result::Verified:
            m_pulsing = m_options.verify && pulsing();
            if (!m_pulsing) {
                finish(Outcome::Done);
            }
            return;
        case CommandOutcome::Result::Refused:
            m_refusal = outcome.reason;
            finish(Outcome::Refused);
            return;
        case CommandOutcome::Result::NotVerified:
            finish(Outcome::NotVerified);
            return;
        case CommandOutcome::Result::NoReply:
            finish(Outcome::NoReply);
            return;
    }
}

bool RelaySession::pulsing() const {
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        if ((m_mask & bit_of(channel)) && m_switchboard.pulse_running(m_address, channel)) {
            return true;
        }
    }
    return false;
}

bool RelaySession::end_pulse(std::int64_t now_ms) {
    if (!m_pulsing) {
        return false;
    }
    m_switchboard.end_pulses(now_ms);
    return true;
}

void RelaySession::advance(std::int64_t now_ms) {
    if (finished()) {
        return;
    }
    if (!m_begun) {
        m_begun = true;
        begin(now_ms);
        if (finished()) {
            return;  // refused: nothing goes out
        }
    }
    m_switchboard.advance(now_ms);
    if (!finished() && m_deadline_ms && now_ms >= *m_deadline_ms) {
        finish(m_answered ? Outcome::NotVerified : Outcome::NoReply);
    }
    // Without verification an address is written once its exchange is over.
    if (!finished() && !m_options.verify && m_options.command == CliCommand::WriteAddress &&
        !m_switchboard.busy()) {
        finish(Outcome::Done);
    }
}

void RelaySession::receive(const Frame& group, std::int64_t now_ms) {
    if (!finished()) {
        m_switchboard.receive(group, now_ms);
        advance(now_ms);
    }
}

std::optional<std::int64_t> RelaySession::next_deadline_ms() const {
    std::optional<std::int64_t> next = m_switchboard.next_deadline_ms();
    if (m_deadline_ms && (!next || *m_deadline_ms < *next)) {
        next = m_deadline_ms;
    }
    return next;
}

std::vector<int> RelaySession::unswitched() const {
    std::vector<int> channels;
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        const auto shown = m_looks[static_cast<std::size_t>(channel - 1)];
        if (const auto want = wanted(channel); want && *want != shown) {
            channels.push_back(channel);
        }
    }
    return channels;
}

std::optional<ChannelLook> RelaySession::wanted(int channel) const {
    if (!m_switched || !(m_mask & bit_of(channel))) {
        return std::nullopt;
    }
    return (m_wanted & bit_of(channel)) ? ChannelLook::Energised : ChannelLook::Released;
}

void RelaySession::on_watch_event(std::function<void(const WatchEvent&)> handler) {
    m_watch_handler = std::move(handler);
}

void RelaySession::on_scan_progress(std::function<void(int address)> handler) {
    m_progress_handler = std::move(handler);
}

void RelaySession::replied(const Frame& reply) {
    if (finished()) {
        return;
    }
    const std::uint8_t from = reply[ReplyAddress];
    const std::uint8_t command = reply[ReplyCommand];
    switch (m_options.command) {
        case CliCommand::ReadAddress:
            if (command == cmd::ReadAddress) {
                m_address = from;
                finish(Outcome::Done);
            }
            return;
        case CliCommand::Scan:
            m_found.push_back({from, looks_of(reply_channels(reply))});
            return;
        case CliCommand::Watch:
            if (from == m_address) {
                watch(WatchEvent::Kind::Change, looks_of(reply_channels(reply)));
            }
            return;
        case CliCommand::WriteAddress:
            // A board that heard the write may answer from an address it kept.
            if (command == cmd::WriteAddress) {
                m_answered = true;
            }
            break;
        default:
            break;
    }
    if (from != m_address) {
        return;
    }
    m_answered = true;
    m_looks = looks_of(reply_channels(reply));
    switch (m_options.command) {
        case CliCommand::Status:
            finish(Outcome::Done);
            return;
        case CliCommand::WriteAddress:
            // The write's own reply says little: a status query proves it.
            if (command == cmd::Status && m_options.verify) {
                finish(Outcome::Done);
            }
            return;
        case CliCommand::Toggle:
            if (!m_switched) {
                ChannelBits released = 0;
                for (const int channel : m_options.channels) {
                    if (m_looks[static_cast<std::size_t>(channel - 1)] != ChannelLook::Energised) {
                        released |= bit_of(channel);
                    }
                }
                switch_to(released);
            }
            return;
        default:
            return;
    }
}

void RelaySession::availability_changed(const BoardState& board) {
    if (m_options.command != CliCommand::Watch) {
        return;
    }
    if (board.availability == Availability::Offline) {
        watch(WatchEvent::Kind::Silent, unknown_looks());
    } else if (board.availability == Availability::Online) {
        watch(m_watching ? WatchEvent::Kind::Back : WatchEvent::Kind::Initial,
              looks_of(board.channels));
    }
}

void RelaySession::unanswered(const Frame& request) {
    // Asked again until the timeout: the answer is all this command is for.
    if (m_options.command == CliCommand::ReadAddress && !finished()) {
        m_switchboard.poller().send_command(request[1], request[2], request[5], request[6]);
    }
}

void RelaySession::scan_progress(int address) {
    if (m_progress_handler) {
        m_progress_handler(address);
    }
}

void RelaySession::scan_finished() {
    finish(m_found.empty() ? Outcome::NoReply : Outcome::Done);
}

void RelaySession::watch(WatchEvent::Kind kind, const ChannelLooks& looks) {
    WatchEvent event;
    event.kind = kind;
    event.before = m_looks;
    event.looks = looks;
    if (kind == WatchEvent::Kind::Change) {
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            const auto i = static_cast<std::size_t>(channel - 1);
            if (event.before[i] != event.looks[i]) {
                event.changed.push_back(channel);
            }
        }
        if (event.changed.empty()) {
            return;
        }
    }
    m_watching = true;
    m_looks = looks;
    if (m_watch_handler) {
        m_watch_handler(event);
    }
}

void RelaySession::finish(Outcome outcome) {
    m_outcome = outcome;
}

}  // namespace relay
