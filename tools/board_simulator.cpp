#include "tools/board_simulator.h"

#include <QDateTime>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace relay {

namespace {

std::vector<VirtualBoard> boards_for(const SimOptions& options) {
    std::vector<VirtualBoard> boards;
    for (const std::uint8_t address : options.addresses) {
        boards.emplace_back(address, options.channels);
        boards.back().set_stuck(options.stuck);
        boards.back().set_keep_address(options.keep_address);
    }
    return boards;
}

// 9600 baud, 8N1: ten bits a byte.
qint64 line_ns(qint64 bytes) {
    return bytes * 10 * 1000000000 / 9600;
}

void print(FILE* stream, const QString& line) {
    std::fputs(line.toLocal8Bit().constData(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

}  // namespace

BoardSimulator::BoardSimulator(SimOptions options, QObject* parent)
    : QObject(parent),
      m_options(std::move(options)),
      m_line(boards_for(m_options), m_options.faults) {
    m_clock.start();
    m_pacer.setSingleShot(true);
    m_pacer.setTimerType(Qt::PreciseTimer);
    connect(&m_pacer, &QTimer::timeout, this, &BoardSimulator::pace);
}

BoardSimulator::~BoardSimulator() = default;

bool BoardSimulator::start(QString* error) {
    const bool opened = m_options.device.isEmpty()
                            ? m_terminal.open_pty(error)
                            : m_terminal.open_device(m_options.device, error);
    if (!opened) {
        return false;
    }
    if (!m_options.link.isEmpty() && !m_link.make(m_options.link, m_terminal.tty_path(), error)) {
        m_terminal.close();
        return false;
    }
    m_notifier = new QSocketNotifier(m_terminal.fd(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &BoardSimulator::on_readable);
    // A panel killed with the port open must not leave it reserved for itself.
    if (m_terminal.close_watch_fd() >= 0) {
        auto* closes =
            new QSocketNotifier(m_terminal.close_watch_fd(), QSocketNotifier::Read, this);
        connect(closes, &QSocketNotifier::activated, this,
                [this] { m_terminal.release_exclusive(); });
    }
    return true;
}

void BoardSimulator::toggle_silence() {
    m_line.set_silent(!m_line.silent());
    print(stderr, m_line.silent() ? QStringLiteral("relay-board-sim: silent")
                                  : QStringLiteral("relay-board-sim: answering again"));
}

void BoardSimulator::toggle_channel_one() {
    for (VirtualBoard& board : m_line.boards()) {
        board.toggle_channel(1);
    }
    print(stderr, QStringLiteral("relay-board-sim: channel 1 switched from elsewhere"));
}

void BoardSimulator::on_readable() {
    bool hung_up = false;
    const QByteArray bytes = m_terminal.read_available(&hung_up);
    if (hung_up) {
        // A pulled device stays readable forever; stop watching it.
        m_notifier->setEnabled(false);
        Q_EMIT line_lost(QStringLiteral("%1 is gone").arg(m_terminal.tty_path()));
        return;
    }
    if (bytes.isEmpty()) {
        return;
    }
    const qint64 now_ns = m_clock.nsecsElapsed();
    const qint64 now_ms = now_ns / 1000000;
    if (!m_options.line_time) {
        answer(m_line.receive(bytes, now_ms), now_ns);
        return;
    }
    // A pseudo-terminal hands over at once what a line delivers byte by byte,
    // so each frame is heard when its own last byte would have arrived.
    for (const char byte : bytes) {
        m_heard_until_ns = std::max(now_ns, m_heard_until_ns) + line_ns(1);
        answer(m_line.receive(QByteArray(1, byte), now_ms), m_heard_until_ns);
    }
    pace();
}

void BoardSimulator::answer(const LineTraffic& traffic, qint64 heard_ns) {
    for (const LineHeard& heard : traffic.heard) {
        log("in ", heard.bytes, heard.note);
    }
    for (const LineWrite& write : traffic.writes) {
        const int wait_ms = m_options.turnaround_ms + write.delay_ms;
        if (m_options.line_time) {
            send_at_line_speed(write, heard_ns + qint64(wait_ms) * 1000000);
        } else if (wait_ms <= 0) {
            put_on_line(write.bytes, write.note);
        } else {
            QTimer::singleShot(wait_ms, Qt::PreciseTimer, this,
                               [this, write] { put_on_line(write.bytes, write.note); });
        }
    }
}

void BoardSimulator::send_at_line_speed(const LineWrite& write, qint64 ready_ns) {
    // One driver on the line: a reply waits until the one before has gone.
    Outgoing out{write.bytes, write.note, std::max(ready_ns, m_free_from_ns)};
    m_free_from_ns = out.start_ns + line_ns(out.bytes.size());
    m_outbox.push_back(std::move(out));
}

void BoardSimulator::pace() {
    const qint64 now_ns = m_clock.nsecsElapsed();
    while (!m_outbox.empty()) {
        Outgoing& out = m_outbox.front();
        // Each byte goes out once its stop bit would have left.
        qsizetype due = out.sent;
        while (due < out.bytes.size() && out.start_ns + line_ns(due + 1) <= now_ns) {
            ++due;
        }
        if (due > out.sent) {
            out.lost |= !m_terminal.write(out.bytes.mid(out.sent, due - out.sent));
            out.sent = due;
        }
        if (out.sent < out.bytes.size()) {
            const qint64 next_ns = out.start_ns + line_ns(out.sent + 1);
            // Rounded up: a byte never leaves before its time.
            m_pacer.start(int((next_ns - now_ns + 999999) / 1000000));
            return;
        }
        log("out", out.bytes,
            out.lost ? out.note + QStringLiteral(", not sent: nobody reads the line") : out.note);
        m_outbox.pop_front();
    }
}

void BoardSimulator::put_on_line(const QByteArray& bytes, const QString& note) {
    const bool sent = m_terminal.write(bytes);
    log("out", bytes, sent ? note : note + QStringLiteral(", not sent: nobody reads the line"));
}

void BoardSimulator::log(const char* direction, const QByteArray& bytes, const QString& note) {
    if (!m_options.log) {
        return;
    }
    QString line =
        QStringLiteral("%1 %2 %3")
            .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")),
                 QString::fromLatin1(direction), QString::fromLatin1(bytes.toHex(' ').toUpper()));
    if (!note.isEmpty()) {
        line += QStringLiteral("  (%1)").arg(note);
    }
    print(stdout, line);
}

}  // namespace relay
