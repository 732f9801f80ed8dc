#include "tools/board_simulator.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <utility>

namespace relay {

namespace {

std::vector<VirtualBoard> boards_for(const SimOptions& options) {
    std::vector<VirtualBoard> boards;
    for (const std::uint8_t address : options.addresses) {
        boards.emplace_back(address, options.channels);
        boards.back().set_stuck(options.stuck);
    }
    return boards;
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
}

BoardSimulator::~BoardSimulator() {
    remove_link();
}

bool BoardSimulator::start(QString* error) {
    const bool opened = m_options.device.isEmpty()
                            ? m_terminal.open_pty(error)
                            : m_terminal.open_device(m_options.device, error);
    if (!opened) {
        return false;
    }
    if (!m_options.link.isEmpty() && !make_link(error)) {
        m_terminal.close();
        return false;
    }
    m_notifier = new QSocketNotifier(m_terminal.fd(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &BoardSimulator::on_readable);
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
    const LineTraffic traffic = m_line.receive(bytes, m_clock.elapsed());
    for (const LineHeard& heard : traffic.heard) {
        log("in ", heard.bytes, heard.note);
    }
    for (const LineWrite& write : traffic.writes) {
        if (write.delay_ms <= 0) {
            put_on_line(write.bytes, write.note);
        } else {
            QTimer::singleShot(write.delay_ms, this,
                               [this, write] { put_on_line(write.bytes, write.note); });
        }
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

bool BoardSimulator::make_link(QString* error) {
    const QFileInfo link(m_options.link);
    if (link.isSymLink()) {
        // Most likely left by a board that was killed; a new board takes over.
        QFile::remove(link.filePath());
    } else if (link.exists()) {
        *error = QStringLiteral("%1 exists and is not a symbolic link").arg(link.filePath());
        return false;
    }
    QDir().mkpath(link.absolutePath());
    const QString target = QFileInfo(m_terminal.tty_path()).absoluteFilePath();
    if (!QFile::link(target, link.filePath())) {
        *error = QStringLiteral("cannot make the link %1").arg(link.filePath());
        return false;
    }
    m_link_target = target;
    return true;
}

void BoardSimulator::remove_link() {
    if (m_link_target.isEmpty()) {
        return;
    }
    // Leave a link that another board has taken over since.
    const QFileInfo link(m_options.link);
    if (link.isSymLink() && link.symLinkTarget() == m_link_target) {
        QFile::remove(link.filePath());
    }
    m_link_target.clear();
}

}  // namespace relay
