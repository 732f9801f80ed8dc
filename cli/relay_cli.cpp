#include "cli/relay_cli.h"

#include "cli/cli_output.h"
#include "names/name_file.h"
#include "names/name_location.h"
#include "names/stderr_messages.h"
#include "serial/interrupt_watch.h"
#include "serial/line_port.h"
#include "serial/serial_link.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <utility>

#include <unistd.h>

namespace relay {

namespace {

QString now_text() {
    return QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
}

void show_scan_progress(int address, const CliOptions& options) {
    std::fprintf(stderr, "\rscanning %d (%d-%d)\033[K", address, options.scan_from,
                 options.scan_to);
    std::fflush(stderr);
}

}  // namespace

RelayCli::RelayCli(CliOptions options, QString program_directory)
    : m_options(std::move(options)), m_program_directory(std::move(program_directory)) {}

int RelayCli::run() {
    switch (m_options.command) {
        case CliCommand::Names:
            return show_names();
        case CliCommand::Rename:
            return rename_channel();
        case CliCommand::Ports:
            return list_ports();
        default:
            return run_on_line();
    }
}

int RelayCli::run_on_line() {
    const std::unique_ptr<SerialPort> line =
        make_line_port(m_options.port_text, m_program_directory);
    SerialPort& port = *line;
    const bool opened = port.open_line(m_options.port_text);
    if (!opened) {
        // The panel's own message: device, reason and the group to join.
        print_error(
            QStringLiteral("cannot open port %1: %2").arg(m_options.port_text, port.error_text()));
        return exit_code::Port;
    }

    QEventLoop loop;
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    QElapsedTimer clock;
    clock.start();
    RelaySession session(m_options, frame_writer_for(port));
    const bool progress = m_options.command == CliCommand::Scan && ::isatty(STDERR_FILENO);
    if (progress) {
        session.on_scan_progress([this](int address) { show_scan_progress(address, m_options); });
    }
    session.on_watch_event([this](const WatchEvent& event) {
        if (m_options.json) {
            print_json(watch_event_json(event, now_text()));
        } else {
            print_line(watch_event_text(event, now_text()));
        }
    });

    // After every step: stop when the session has concluded, else sleep until
    // it is due again.
    const auto settle = [&session, &loop, &wake, &clock] {
        if (session.finished()) {
            loop.quit();
        } else if (const auto due = session.next_deadline_ms()) {
            wake.start(static_cast<int>(std::max<qint64>(0, *due - clock.elapsed())));
        }
    };
    QObject::connect(&wake, &QTimer::timeout, &port, [&session, &clock, &settle] {
        session.advance(clock.elapsed());
        settle();
    });
    QObject::connect(&port, &SerialPort::group_received, &port,
                     [&session, &clock, &settle](const Frame& group) {
                         session.receive(group, clock.elapsed());
                         settle();
                     });
    QString lost;
    QObject::connect(&port, &SerialPort::device_lost, &port,
                     [&lost, &loop](const QString& message) {
                         lost = message;
                         loop.quit();
                     });
    bool interrupted = false;
    InterruptWatch interrupts;
    interrupts.start();
    QObject::connect(&interrupts, &InterruptWatch::interrupted, &port, [&] {
        interrupted = true;
        // A pulse is not left running: released first, and then the end.
        if (session.end_pulse(clock.elapsed())) {
            QTimer::singleShot(BusPoller::SilenceMs, &loop, &QEventLoop::quit);
            settle();
            return;
        }
        loop.quit();
    });

    session.advance(clock.elapsed());
    settle();
    if (!session.finished()) {
        loop.exec();
    }
    const QString used = port.device();
    port.close();
    if (progress) {
        std::fputs("\r\033[K", stderr);
    }
    if (!lost.isEmpty()) {
        print_error(QStringLiteral("the port's device went away: %1").arg(lost));
        return exit_code::Port;
    }
    if (interrupted) {
        if (m_options.command == CliCommand::Watch) {
            return exit_code::Ok;
        }
        if (m_options.command == CliCommand::Scan) {
            report(session, used);
        }
        print_error(QStringLiteral("interrupted"));
        return exit_code::Interrupted;
    }
    return report(session, used);
}

int RelayCli::report(const RelaySession& session, const QString& device) {
    using Outcome = RelaySession::Outcome;
    const CliCommand command = m_options.command;
    const Outcome outcome = session.outcome();
    const bool answered = outcome == Outcome::Done || outcome == Outcome::NotVerified;
    QJsonObject json = port_json(device);
    const char* const results[] = {"interrupted", "ok", "no_reply", "not_verified", "refused"};
    json.insert(QStringLiteral("result"), QString::fromLatin1(results[static_cast<int>(outcome)]));
    QString text;

    if (command == CliCommand::Scan) {
        QJsonArray boards;
        for (const FoundBoard& board : session.found()) {
            const QStringList names = names_of(board.address);
            boards.append(
                QJsonObject{{QStringLiteral("address"), board.address},
                            {QStringLiteral("channels"), channels_json(board.looks, names)}});
            text +=
                QStringLiteral("%1  %2\n").arg(board.address, 3).arg(looks_summary(board.looks));
        }
        json.insert(QStringLiteral("from"), m_options.scan_from);
        json.insert(QStringLiteral("to"), m_options.scan_to);
        json.insert(QStringLiteral("boards"), boards);
    } else if (command == CliCommand::ReadAddress || command == CliCommand::WriteAddress) {
        json.insert(QStringLiteral("address"), session.address());
        json.insert(QStringLiteral("verified"), outcome == Outcome::Done && m_options.verify);
        text = QString::number(session.address());
    } else {
        const QStringList names = names_of(m_options.address);
        json.insert(QStringLiteral("address"), m_options.address);
        json.insert(QStringLiteral("channels"), channels_json(session.looks(), names));
        if (command != CliCommand::Status) {
            QJsonArray unswitched;
            for (const int channel : session.unswitched()) {
                unswitched.append(channel);
            }
            json.insert(QStringLiteral("verified"), outcome == Outcome::Done && m_options.verify);
            json.insert(QStringLiteral("unswitched"), unswitched);
        }
        const bool all = command == CliCommand::Status || command == CliCommand::AllOn ||
                         command == CliCommand::AllOff;
        if (answered) {
            text = channel_lines(session.looks(), names,
                                 all ? std::vector<int>{} : m_options.channels);
        }
    }

    if (m_options.json) {
        print_json(json);
    } else if (!text.isEmpty() && (answered || command == CliCommand::Scan)) {
        print_line(text);
    }

    const QString where = port_text(device);
    switch (outcome) {
        case Outcome::Running:
        case Outcome::Done:
            return exit_code::Ok;
        case Outcome::NoReply:
            if (command == CliCommand::Scan) {
                print_error(QStringLiteral("no board answered at addresses %1-%2 on %3")
                                .arg(m_options.scan_from)
                                .arg(m_options.scan_to)
                                .arg(where));
            } else {
                print_error(QStringLiteral("no reply from %1 on %2 within %3 ms")
                                .arg(command == CliCommand::ReadAddress
                                         ? QStringLiteral("any board")
                                         : QStringLiteral("board %1").arg(session.address()),
                                     where)
                                .arg(session.timeout_ms()));
            }
            return exit_code::NoReply;
        case Outcome::Refused:
            print_error(session.refusal());
            return exit_code::Usage;
        case Outcome::NotVerified:
            break;
    }
    if (command == CliCommand::WriteAddress) {
        print_error(QStringLiteral("not verified: no status reply from the new address %1 on %2 "
                                   "within %3 ms")
                        .arg(session.address())
                        .arg(where)
                        .arg(session.timeout_ms()));
        return exit_code::NotVerified;
    }
    QStringList failures;
    for (const int channel : session.unswitched()) {
        const auto i = static_cast<std::size_t>(channel - 1);
        failures.append(
            QStringLiteral("channel %1 is %2, not %3")
                .arg(channel)
                .arg(look_name(session.looks()[i]),
                     look_name(session.wanted(channel).value_or(ChannelLook::Unknown))));
    }
    print_error(QStringLiteral("not verified after %1 ms on %2: %3")
                    .arg(session.timeout_ms())
                    .arg(where, failures.join(QStringLiteral("; "))));
    return exit_code::NotVerified;
}

int RelayCli::show_names() {
    StderrMessages messages;
    NameFile names(messages, name_directory());
    if (!names.exists()) {
        print_error(QStringLiteral("no name file at %1")
                        .arg(QDir::toNativeSeparators(names.name_file_path())));
        return exit_code::Names;
    }
    const QStringList loaded = names.load_channel_names(QString::number(m_options.address));
    if (messages.count() > 0) {
        return exit_code::Names;
    }
    if (m_options.json) {
        QJsonArray channels;
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            channels.append(QJsonObject{{QStringLiteral("channel"), channel},
                                        {QStringLiteral("name"), loaded.value(channel - 1)}});
        }
        print_json({{QStringLiteral("address"), m_options.address},
                    {QStringLiteral("name_file"), names.name_file_path()},
                    {QStringLiteral("channels"), channels}});
    } else {
        QString text;
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            text += QStringLiteral("%1  %2\n").arg(channel, 2).arg(loaded.value(channel - 1));
        }
        print_line(text);
    }
    return exit_code::Ok;
}

int RelayCli::rename_channel() {
    StderrMessages messages;
    NameFile names(messages, name_directory());
    const int channel = m_options.channels.front();
    // The refusals are the store's own, told through the messages.
    if (!names.save_channel_name(QString::number(m_options.address), QString::number(channel),
                                 m_options.new_name)) {
        return exit_code::Names;
    }
    if (m_options.json) {
        print_json({{QStringLiteral("address"), m_options.address},
                    {QStringLiteral("channel"), channel},
                    {QStringLiteral("name"), m_options.new_name},
                    {QStringLiteral("name_file"), names.name_file_path()}});
    }
    return exit_code::Ok;
}

int RelayCli::list_ports() {
    const std::vector<ListedPort> listed = listed_ports();
    QJsonArray ports;
    QString text;
    for (int number = 0; number <= 255; ++number) {
        const PortResolution port = resolve_port_number(QString::number(number), listed,
                                                        m_program_directory, native_port_naming());
        if (!port.ok() || (native_port_naming() == PortNaming::Windows && port.link.isEmpty() &&
                           port.description.endsWith(QStringLiteral("（系统未列出）")))) {
            continue;
        }
        ports.append(QJsonObject{{QStringLiteral("port"), number},
                                 {QStringLiteral("device"), port.device},
                                 {QStringLiteral("link"), port.link}});
        text += QStringLiteral("%1  %2%3\n")
                    .arg(number, 3)
                    .arg(port.device, port.link.isEmpty()
                                          ? QString()
                                          : QStringLiteral("  (link %1)").arg(port.link));
    }
    if (m_options.json) {
        print_json({{QStringLiteral("ports"), ports}});
    } else if (!text.isEmpty()) {
        print_line(text);
    } else {
        print_error(QStringLiteral("no serial ports listed and no comN link in %1")
                        .arg(QDir::toNativeSeparators(m_program_directory)));
    }
    return exit_code::Ok;
}

QString RelayCli::name_directory() const {
    // The panel's rule: beside the program, or the user's own where it cannot be written.
    return m_options.name_directory.isEmpty()
               ? name_directory_for(m_program_directory, user_name_directory())
               : m_options.name_directory;
}

QStringList RelayCli::names_of(std::uint8_t address) {
    StderrMessages messages;
    NameFile names(messages, name_directory());
    // No name.txt is no error here, and a status query must not create one.
    if (!names.exists()) {
        return QStringList(ChannelCount, QString());
    }
    return names.load_channel_names(QString::number(address));
}

QJsonObject RelayCli::port_json(const QString& device) const {
    const auto number = strict_decimal(m_options.port_text, 0, 255);
    return {{QStringLiteral("port"), number ? QJsonValue(*number) : QJsonValue()},
            {QStringLiteral("device"), device}};
}

QString RelayCli::port_text(const QString& device) const {
    return strict_decimal(m_options.port_text, 0, 255)
               ? QStringLiteral("port %1 (%2)").arg(m_options.port_text, device)
               : device;
}

}  // namespace relay
