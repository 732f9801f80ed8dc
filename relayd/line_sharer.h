#pragma once

#include "controller/switchboard.h"
#include "protocol/command_reader.h"
#include "serial/board_terminal.h"
#include "serial/tty_link.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QSocketNotifier;

namespace relay {

// Shared ports: pseudo-terminals on which other programs (the panel, relayctl)
// see the boards as if they had the line to themselves. A status query of a
// served board is answered at once from the latest poll, and not at all while
// the board is silent; every other command goes to the line in the next free
// slot, and its reply back to the port it came from.
class LineSharer : public QObject {
    Q_OBJECT
public:
    // kick: the switchboard has been given work.
    LineSharer(Switchboard& switchboard, std::function<void()> kick, QObject* parent = nullptr);
    ~LineSharer() override;

    // A new shared port, linked at link_path (e.g. com1 beside the panel).
    bool add(const QString& link_path, QString* error);
    // A reply to a command that a shared port sent.
    void answered(int origin, const Frame& reply);

Q_SIGNALS:
    // A frame of a shared port that goes to the line (origin: the port's number, from 1).
    void frame_taken(int origin, const relay::Frame& frame);

private:
    struct Shared;

    void on_readable(Shared& port);
    void take(Shared& port, const Frame& frame);

    Switchboard& m_switchboard;
    std::function<void()> m_kick;
    QElapsedTimer m_clock;
    std::vector<std::unique_ptr<Shared>> m_ports;
};

}  // namespace relay
