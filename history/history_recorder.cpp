#include "history/history_recorder.h"

#include "relayd/log_line.h"
#include "relayd/state_directory.h"

#include <QDateTime>
#include <QDir>

namespace relay {

namespace {

QTimeZone zone_of(const LineOptions& options) {
    const QTimeZone given(options.time_zone.toUtf8());
    return !options.time_zone.isEmpty() && given.isValid() ? given : QTimeZone::systemTimeZone();
}

QString outcome_word(CommandOutcome::Result result) {
    switch (result) {
        case CommandOutcome::Result::Verified:
            return QStringLiteral("verified");
        case CommandOutcome::Result::Refused:
            return QStringLiteral("refused");
        case CommandOutcome::Result::NotVerified:
            return QStringLiteral("not verified");
        case CommandOutcome::Result::NoReply:
            return QStringLiteral("no reply");
    }
    return {};
}

}  // namespace

QString command_what(const ChannelCommand& command) {
    const std::vector<ChannelAction> actions = channel_actions(command);
    QStringList words;
    for (const ChannelAction& action : actions) {
        QString word = QString::fromLatin1(action.word).toUpper();
        if (action.channels == command.pulse && command.pulse_ms) {
            word += QStringLiteral(" %1 ms").arg(command.pulse_ms);
        }
        words.append(actions.size() == 1 ? word
                                         : word + QLatin1Char(' ') + channel_text(action.channels));
    }
    return words.join(QStringLiteral("; "));
}

HistoryRecorder::HistoryRecorder(RelayBridge& bridge, HistoryOptions options, QObject* parent)
    : QObject(parent), m_bridge(bridge), m_options(options), m_counters(zone_of(bridge.options())) {
    connect(&bridge, &RelayBridge::command_started, this, &HistoryRecorder::started);
    connect(&bridge, &RelayBridge::command_ended, this, &HistoryRecorder::ended);
    connect(&bridge, &RelayBridge::channel_changed, this, &HistoryRecorder::changed);
    connect(&bridge, &RelayBridge::shared_frame, this, &HistoryRecorder::shared);
    connect(&bridge, &RelayBridge::board_availability, this, &HistoryRecorder::availability);
    connect(&bridge, &RelayBridge::line_changed, this, &HistoryRecorder::line);
    m_flush.setInterval(FlushMs);
    connect(&m_flush, &QTimer::timeout, this, &HistoryRecorder::flush);
}

HistoryRecorder::~HistoryRecorder() = default;

QString HistoryRecorder::database_path() const {
    return StateDirectory(m_bridge.options().state_directory)
        .file_path(QString::fromLatin1(HistoryStore::FileName));
}

void HistoryRecorder::start() {
    m_flush.start();
    if (!m_options.on) {
        log_line(QStringLiteral("history off: runtime counted in memory only"));
        return;
    }
    const QString path = database_path();
    HistoryWriter::Settings settings{path, m_options.keep_days,
                                     static_cast<std::int64_t>(m_options.max_mb) << 20};
    auto writer =
        std::make_unique<HistoryWriter>(settings, [](const QString& line) { log_line(line); });
    std::map<HistoryStore::Channel, HistoryStore::Totals> totals;
    QString error;
    if (!QDir().mkpath(m_bridge.options().state_directory) || !writer->open(&totals, &error)) {
        log_line(
            QStringLiteral("history: cannot open %1: %2; relayd goes on without keeping "
                           "history, runtime counted in memory only")
                .arg(path, error.isEmpty() ? QStringLiteral("cannot make the directory") : error));
        return;
    }
    m_counters.load(totals);
    m_writer = std::move(writer);
    log_line(QStringLiteral("history in %1, kept %2 days and at most %3 MB")
                 .arg(path)
                 .arg(m_options.keep_days)
                 .arg(m_options.max_mb));
    if (m_bridge.line_open()) {
        line(true);
    }
}

void HistoryRecorder::stop() {
    m_batch.availability.push_back({wall_ms(), -1, QStringLiteral("stopped")});
    flush();
    m_flush.stop();
    m_writer.reset();  // writes what it was handed, then stops
}

std::int64_t HistoryRecorder::wall_ms() {
    return QDateTime::currentMSecsSinceEpoch();
}

void HistoryRecorder::started(int tag, const ChannelCommand& command, const CommandSource& source) {
    QString detail = source.where;
    m_started[tag] = {wall_ms(), command, {source.kind, detail, source.user}};
    while (m_started.size() > RememberedCommands) {
        m_started.erase(m_started.begin());
    }
}

void HistoryRecorder::ended(int tag, const CommandOutcome& outcome) {
    const auto it = m_started.find(tag);
    if (it == m_started.end()) {
        return;
    }
    const Started& command = it->second;
    m_batch.commands.push_back(
        {command.t, command.command.address, command.command.mask(), command_what(command.command),
         command.source, outcome_word(outcome.result),
         outcome.result == CommandOutcome::Result::Verified ? QString() : outcome.reason});
}

HistorySource HistoryRecorder::shared_source(int origin) const {
    const QStringList& share = m_bridge.options().share;
    return {QStringLiteral("shared"), share.value(origin - 1), QString()};
}

HistorySource HistoryRecorder::cause_of(const ChannelChange& change) const {
    if (change.kind == ChannelChange::Kind::Seen) {
        return {QStringLiteral("seen"), QString(), QString()};
    }
    if (change.kind == ChannelChange::Kind::Master) {
        return {QStringLiteral("master"), QString(), QString()};
    }
    const FrameCause& cause = change.cause;
    const auto command = m_started.find(cause.tag);
    const bool known = cause.tag != 0 && command != m_started.end();
    switch (cause.kind) {
        case FrameCause::Kind::Command:
            return known ? command->second.source
                         : HistorySource{QStringLiteral("command"), QString(), QString()};
        case FrameCause::Kind::Shared:
            return shared_source(cause.tag);
        case FrameCause::Kind::Pulse:
            return {QStringLiteral("pulse"), QStringLiteral("pulse ended"), QString()};
        case FrameCause::Kind::Momentary:
            return {QStringLiteral("momentary"), QStringLiteral("found energised when first heard"),
                    QString()};
        case FrameCause::Kind::Interlock: {
            if (!known) {
                return {QStringLiteral("interlock"),
                        QStringLiteral("two of a group energised together"), QString()};
            }
            const HistorySource& source = command->second.source;
            return {QStringLiteral("interlock"),
                    QStringLiteral("for %1 %2").arg(source.kind, source.detail), source.user};
        }
        case FrameCause::Kind::None:
            break;
    }
    return {QStringLiteral("master"), QString(), QString()};
}

void HistoryRecorder::changed(const ChannelChange& change) {
    const std::int64_t now = wall_ms();
    const bool switched = change.kind != ChannelChange::Kind::Seen;
    m_counters.changed(change.address, change.channel, change.on, switched, m_bridge.now_ms(), now);
    if (m_writer) {
        m_batch.changes.push_back(
            {now, change.address, change.channel, change.on, cause_of(change)});
    }
}

void HistoryRecorder::shared(int origin, const Frame& frame) {
    const std::uint8_t command = frame[2];
    const int channel = frame[6];
    if (command != cmd::SwitchAll && command != cmd::Energise && command != cmd::Release) {
        return;
    }
    const bool all = command == cmd::SwitchAll;
    if (!all && (channel < 1 || channel > ChannelCount)) {
        return;
    }
    const bool on = all ? frame[5] == AllOn : command == cmd::Energise;
    m_batch.commands.push_back({wall_ms(), frame[1],
                                all ? ChannelBits{0xFFFF} : channel_bit(channel),
                                on ? QStringLiteral("ON") : QStringLiteral("OFF"),
                                shared_source(origin), QStringLiteral("sent"), QString()});
}

void HistoryRecorder::availability(std::uint8_t address, bool online) {
    if (online) {
        if (const BoardState* board = m_bridge.board(address)) {
            m_counters.resumed(address, board->last_reply_ms);
        }
    } else {
        m_counters.stopped(address);
    }
    m_batch.availability.push_back(
        {wall_ms(), address, online ? QStringLiteral("online") : QStringLiteral("offline")});
}

void HistoryRecorder::line(bool open) {
    if (!open) {
        for (const BoardState& board : m_bridge.boards()) {
            m_counters.stopped(board.address);
        }
    }
    m_batch.availability.push_back(
        {wall_ms(), -1, open ? QStringLiteral("line open") : QStringLiteral("line lost")});
}

void HistoryRecorder::flush() {
    const std::int64_t now = wall_ms();
    for (const BoardState& board : m_bridge.boards()) {
        if (board.availability == Availability::Online) {
            m_counters.confirmed(board.address, board.last_reply_ms, now);
        }
    }
    m_batch.runtime = m_counters.take_deltas();
    if (m_writer) {
        m_writer->add(std::move(m_batch));
    }
    m_batch = {};
}

}  // namespace relay
