#include "relayd/relay_bridge.h"

#include "names/name_location.h"
#include "protocol/option_text.h"
#include "serial/line_port.h"

#include "relayd/log_line.h"

namespace relay {

namespace {

QString hex(const Frame& frame) {
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(frame.data()), 8).toHex(' ').toUpper());
}

// The name store's refusals, kept for whoever asked for the rename.
class CapturedMessages : public MessageSink {
public:
    void show_message(Icon, const QString&, const QString& text) override {
        m_text = m_text.isEmpty() ? text : m_text + QLatin1Char('\n') + text;
    }
    const QString& text() const { return m_text; }

private:
    QString m_text;
};

}  // namespace

RelayBridge::RelayBridge(LineOptions options, QString program_directory, QObject* parent)
    : QObject(parent),
      m_options(std::move(options)),
      m_name_directory(m_options.name_directory.isEmpty()
                           ? name_directory_for(program_directory, m_options.state_directory)
                           : m_options.name_directory),
      m_names(m_messages, m_name_directory),
      m_line(make_line_port(m_options.port_text, program_directory)),
      m_switchboard([this](const Frame& frame) { write_frame(frame); }, *this),
      m_sharer(m_switchboard, [this] { step(); }) {
    m_wake.setSingleShot(true);
    m_wake.setTimerType(Qt::PreciseTimer);
    m_names_check.setInterval(NamesCheckMs);
    m_reopen.setInterval(ReopenMs);
    connect(&m_wake, &QTimer::timeout, this, &RelayBridge::step);
    connect(&m_names_check, &QTimer::timeout, this, [this] { check_names(false); });
    connect(&m_reopen, &QTimer::timeout, this, &RelayBridge::try_reopen);
    connect(m_line.get(), &SerialPort::group_received, this, &RelayBridge::on_group);
    connect(m_line.get(), &SerialPort::device_lost, this, &RelayBridge::on_device_lost);
    connect(m_line.get(), &SerialPort::line_opened, this, &RelayBridge::on_reopened);
    connect(m_line.get(), &SerialPort::open_failed, this, [this] { m_reopen.start(); });
    m_switchboard.set_rules(m_options.rules);
    m_switchboard.on_notice([this](const SwitchNotice& notice) { noticed(notice); });
    m_switchboard.on_change(
        [this](const ChannelChange& change) { Q_EMIT channel_changed(change); });
    connect(&m_sharer, &LineSharer::frame_taken, this, &RelayBridge::shared_frame);
    m_schedules =
        std::make_unique<ScheduleRunner>(*this, StateDirectory(m_options.state_directory));
}

RelayBridge::~RelayBridge() = default;

int RelayBridge::start() {
    m_clock.start();
    if (!m_line->open_line(m_options.port_text)) {
        log_line(QStringLiteral("cannot open port %1: %2")
                     .arg(m_options.port_text, m_line->error_text()));
        return exit_code::Port;
    }
    m_line_open = true;
    log_line(QStringLiteral("port %1 open (%2), node %3, names in %4")
                 .arg(m_options.port_text, m_line->device(), m_options.node_id,
                      m_names.name_file_path()));
    for (const QString& link : m_options.share) {
        QString error;
        if (!m_sharer.add(link, &error)) {
            log_line(QStringLiteral("cannot share the line at %1: %2").arg(link, error));
            return exit_code::Port;
        }
        log_line(QStringLiteral("line shared at %1").arg(link));
    }
    m_scanning = m_options.scan;
    if (m_scanning) {
        log_line(QStringLiteral("looking for boards at %1-%2")
                     .arg(m_options.scan_from)
                     .arg(m_options.scan_to));
        m_switchboard.poller().start_scan(m_options.scan_from, m_options.scan_to,
                                          BusPoller::DefaultReplyWaitMs / 2);
    } else {
        m_switchboard.poller().set_boards(m_options.boards);
        check_names(true);
        m_schedules->start();
    }
    m_names_check.start();
    step();
    return exit_code::Ok;
}

void RelayBridge::stop(const std::function<void()>& then) {
    m_schedules->stop();
    m_names_check.stop();
    m_reopen.stop();
    // No pulse may outlast the bridge: released first, for a moment at most.
    m_switchboard.end_pulses(m_clock.elapsed());
    step();
    const qint64 given_up = m_clock.elapsed() + StopWaitMs;
    auto* wait = new QTimer(this);
    wait->setInterval(10);
    connect(wait, &QTimer::timeout, this, [this, wait, given_up, then] {
        if (m_line_open && m_switchboard.pulses_running() && m_clock.elapsed() < given_up) {
            return;
        }
        wait->deleteLater();
        then();
        m_line->close();
        log_line(QStringLiteral("stopped"));
    });
    wait->start();
}

const BoardState* RelayBridge::board(std::uint8_t address) const {
    return m_switchboard.poller().board(address);
}

const BoardNames& RelayBridge::names(std::uint8_t address) const {
    static const BoardNames none;
    const auto it = m_board_names.find(address);
    return it == m_board_names.end() ? none : it->second;
}

QByteArray RelayBridge::document(std::uint8_t address) const {
    const auto it = m_documents.find(address);
    return it == m_documents.end() ? QByteArray() : it->second.bytes;
}

void RelayBridge::submit(const ChannelCommand& command, const CommandSource& source, Done done) {
    log_line(QStringLiteral("board %1: %2 from %3")
                 .arg(command.address)
                 .arg(shown_payload(source.payload), source.where));
    const int timeout = m_options.verify_timeout_ms;
    const int tag = ++m_last_tag;
    Q_EMIT command_started(tag, command, source);
    const auto finished = [=](const CommandOutcome& outcome) {
        Q_EMIT command_ended(tag, outcome);
        if (outcome.result == CommandOutcome::Result::Verified) {
            log_line(QStringLiteral("board %1: %2 verified")
                         .arg(command.address)
                         .arg(shown_payload(source.payload)));
            done(outcome, QJsonObject());
            return;
        }
        const QJsonObject event = command_error_event(source, outcome, command.address, timeout,
                                                      QDateTime::currentDateTimeUtc());
        log_line(QStringLiteral("command refused or failed: %1 (%2 %3)")
                     .arg(outcome.reason, source.where, shown_payload(source.payload)));
        Q_EMIT command_failed(event);
        done(outcome, event);
    };
    m_switchboard.submit(command, timeout, finished, true, 0, {FrameCause::Kind::Command, tag});
    step();
}

QJsonObject RelayBridge::refuse(const CommandSource& source, const QString& why) {
    const CommandOutcome outcome{CommandOutcome::Result::Refused, why, 0};
    const QJsonObject event =
        command_error_event(source, outcome, 0, 0, QDateTime::currentDateTimeUtc());
    log_line(QStringLiteral("command refused or failed: %1 (%2 %3)")
                 .arg(why, source.where, shown_payload(source.payload)));
    Q_EMIT command_failed(event);
    return event;
}

bool RelayBridge::rename(std::uint8_t address, int channel, const QString& name, QString* refusal) {
    CapturedMessages messages;
    NameFile names(messages, m_name_directory);
    if (!names.exists()) {
        // A fresh installation has none yet: made with the default names, as
        // the panel's first start makes it.
        CapturedMessages creation;
        NameFile(creation, m_name_directory).init_name_file([](const QString&) {});
        log_line(QStringLiteral("%1 made with the default names").arg(names.name_file_path()));
    }
    if (!names.save_channel_name(QString::number(address), QString::number(channel), name)) {
        *refusal = messages.text();
        log_line(QStringLiteral("rename of board %1 channel %2 refused: %3")
                     .arg(address)
                     .arg(channel)
                     .arg(*refusal));
        return false;
    }
    log_line(QStringLiteral("board %1 channel %2 renamed").arg(address).arg(channel));
    check_names(false);
    return true;
}

void RelayBridge::reserve(std::optional<qint64> in_ms) {
    m_switchboard.reserve(in_ms ? std::optional<std::int64_t>(m_clock.elapsed() + *in_ms)
                                : std::nullopt);
}

void RelayBridge::step() {
    m_switchboard.advance(m_clock.elapsed());
    if (const auto due = m_switchboard.next_deadline_ms()) {
        m_wake.start(static_cast<int>(std::max<qint64>(0, *due - m_clock.elapsed())));
    }
}

void RelayBridge::on_group(const Frame& group) {
    if (m_options.verbose) {
        log_line(QStringLiteral("< %1").arg(hex(group)));
    }
    m_switchboard.receive(group, m_clock.elapsed());
    step();
}

void RelayBridge::write_frame(const Frame& frame) {
    if (m_options.verbose) {
        log_line(QStringLiteral("> %1").arg(hex(frame)));
    }
    m_line->write_frame(frame);
}

void RelayBridge::on_device_lost(const QString& message) {
    log_line(QStringLiteral("port %1 lost: %2; every board offline, trying again every %3 s")
                 .arg(m_options.port_text, message)
                 .arg(ReopenMs / 1000));
    m_line_open = false;
    Q_EMIT line_changed(false);
    m_switchboard.line_closed(m_clock.elapsed());
    m_reopen.start();
}

void RelayBridge::try_reopen() {
    // No waiting: a far end that drops connection requests would stall the
    // broker, the web page and the shared ports. One attempt at a time; a
    // failure rearms.
    m_reopen.stop();
    m_line->open_line_async(m_options.port_text);
}

void RelayBridge::on_reopened() {
    log_line(QStringLiteral("port %1 open again (%2)").arg(m_options.port_text, m_line->device()));
    m_line_open = true;
    Q_EMIT line_changed(true);
    m_switchboard.line_opened(m_clock.elapsed());
    step();
}

void RelayBridge::replied(const Frame& reply) {
    if (const BoardState* served = board(reply[ReplyAddress])) {
        refresh(*served);
    } else if (m_scanning) {
        m_found.push_back(reply[ReplyAddress]);
    }
}

void RelayBridge::availability_changed(const BoardState& board) {
    log_line(QStringLiteral("board %1 %2")
                 .arg(board.address)
                 .arg(board.availability == Availability::Online ? "online" : "offline (silent)"));
    refresh(board);
    Q_EMIT board_availability(board.address, board.availability == Availability::Online);
}

void RelayBridge::scan_finished() {
    if (m_found.empty()) {
        log_line(QStringLiteral("no board answered at %1-%2")
                     .arg(m_options.scan_from)
                     .arg(m_options.scan_to));
        Q_EMIT fatal(exit_code::NoReply);
        return;
    }
    QStringList found;
    for (const std::uint8_t address : m_found) {
        found.append(QString::number(address));
    }
    log_line(QStringLiteral("serving boards %1").arg(found.join(QLatin1Char(','))));
    m_scanning = false;
    m_options.boards = m_found;
    m_switchboard.poller().set_boards(m_found);
    check_names(true);
    m_schedules->start();
    Q_EMIT boards_found();
}

void RelayBridge::answered(int origin, const Frame& reply) {
    m_sharer.answered(origin, reply);
}

void RelayBridge::check_names(bool force) {
    const QString title = m_names.load_title();
    for (const BoardState& board : boards()) {
        BoardNames names{title, m_names.exists()
                                    ? m_names.load_channel_names(QString::number(board.address))
                                    : QStringList(ChannelCount, QString())};
        auto& known = m_board_names[board.address];
        if (force || !(known == names)) {
            if (!force) {
                log_line(
                    QStringLiteral("names of board %1 changed in name.txt").arg(board.address));
            }
            known = names;
            refresh(board);
            Q_EMIT names_changed(board.address);
        }
    }
}

void RelayBridge::noticed(const SwitchNotice& notice) {
    log_line(QStringLiteral("board %1: %2").arg(notice.address).arg(notice.text));
    if (notice.kind == SwitchNotice::Kind::PulseEnded ||
        notice.kind == SwitchNotice::Kind::MomentaryReleased) {
        return;
    }
    Q_EMIT command_failed(
        {{QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
         {QStringLiteral("error"), notice.text},
         {QStringLiteral("address"), notice.address},
         {QStringLiteral("channels"), channel_list(notice.channels)}});
}

void RelayBridge::refresh(const BoardState& board) {
    const BoardNames& board_names = names(board.address);
    Document& known = m_documents[board.address];
    // Its time is that of the reply it was made from: a document that only
    // the time would change is not told again.
    const PulseLengths& pulses = m_options.rules.board(board.address).pulse_ms;
    if (known.bytes == board_document(board, board_names, known.last_reply, pulses)) {
        return;
    }
    known.last_reply =
        board.last_reply_ms < 0
            ? QDateTime()
            : QDateTime::currentDateTimeUtc().addMSecs(board.last_reply_ms - m_clock.elapsed());
    known.bytes = board_document(board, board_names, known.last_reply, pulses);
    Q_EMIT board_changed(board.address);
}

}  // namespace relay
