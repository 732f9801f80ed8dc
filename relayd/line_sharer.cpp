#include "relayd/line_sharer.h"

#include <QSocketNotifier>

namespace relay {

struct LineSharer::Shared {
    int origin = 0;
    BoardTerminal terminal;
    TtyLink link;
    CommandReader reader;
    QSocketNotifier* notifier = nullptr;
    QSocketNotifier* closes = nullptr;
};

LineSharer::LineSharer(Switchboard& switchboard, std::function<void()> kick, QObject* parent)
    : QObject(parent), m_switchboard(switchboard), m_kick(std::move(kick)) {
    m_clock.start();
}

LineSharer::~LineSharer() = default;

bool LineSharer::add(const QString& link_path, QString* error) {
    auto port = std::make_unique<Shared>();
    port->origin = static_cast<int>(m_ports.size()) + 1;
    if (!port->terminal.open_pty(error) ||
        !port->link.make(link_path, port->terminal.tty_path(), error)) {
        return false;
    }
    Shared& shared = *port;
    port->notifier = new QSocketNotifier(port->terminal.fd(), QSocketNotifier::Read, this);
    connect(port->notifier, &QSocketNotifier::activated, this,
            [this, &shared] { on_readable(shared); });
    // A program killed on the port must not leave it reserved for itself.
    if (port->terminal.close_watch_fd() >= 0) {
        port->closes =
            new QSocketNotifier(port->terminal.close_watch_fd(), QSocketNotifier::Read, this);
        connect(port->closes, &QSocketNotifier::activated, this,
                [&shared] { shared.terminal.release_exclusive(); });
    }
    m_ports.push_back(std::move(port));
    return true;
}

void LineSharer::answered(int origin, const Frame& reply) {
    if (origin >= 1 && origin <= static_cast<int>(m_ports.size())) {
        m_ports[static_cast<std::size_t>(origin - 1)]->terminal.write(
            QByteArray(reinterpret_cast<const char*>(reply.data()), 8));
    }
}

void LineSharer::on_readable(Shared& port) {
    // The sharer holds its own end of the tty open, so a program that closes,
    // reopens or dies never hangs the port up.
    const QByteArray bytes = port.terminal.read_available();
    bool took = false;
    for (const CommandReader::Piece& piece : port.reader.take(bytes, m_clock.elapsed())) {
        // Anything but a whole frame with its checksum is dropped, as a board would.
        if (piece.kind == CommandReader::Piece::Kind::Frame &&
            piece.frame[7] == frame_checksum(piece.frame)) {
            take(port, piece.frame);
            took = true;
        }
    }
    if (took) {
        m_kick();
    }
}

void LineSharer::take(Shared& port, const Frame& frame) {
    const std::uint8_t address = frame[1];
    const std::uint8_t command = frame[2];
    if (command == cmd::Status) {
        if (const BoardState* board = m_switchboard.poller().board(address)) {
            if (board->availability == Availability::Online && board->channels) {
                answered(port.origin, build_reply(address, cmd::Status, *board->channels));
            }
            return;
        }
    }
    Q_EMIT frame_taken(port.origin, frame);
    m_switchboard.take_frame(frame, port.origin);
}

}  // namespace relay
