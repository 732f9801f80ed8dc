#pragma once

#include "serial/board_terminal.h"
#include "serial/tty_link.h"
#include "tools/sim_options.h"
#include "tools/virtual_line.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>

class QSocketNotifier;

namespace relay {

// The virtual board program: the line's logic on a real tty, with the link
// beside the panel and the frame log.
class BoardSimulator : public QObject {
    Q_OBJECT
public:
    explicit BoardSimulator(SimOptions options, QObject* parent = nullptr);
    ~BoardSimulator() override;

    // Opens the tty and makes the link; false and why when either fails.
    bool start(QString* error);
    QString tty_path() const { return m_terminal.tty_path(); }
    void toggle_silence();
    void toggle_channel_one();

Q_SIGNALS:
    // A device given with --device went away; the board cannot go on.
    void line_lost(const QString& message);

private:
    // A reply on its way out at line speed.
    struct Outgoing {
        QByteArray bytes;
        QString note;
        qint64 start_ns = 0;  // its first bit goes out
        qsizetype sent = 0;
        bool lost = false;
    };

    void on_readable();
    // heard_ns: when the bytes behind the traffic had fully arrived.
    void answer(const LineTraffic& traffic, qint64 heard_ns);
    void put_on_line(const QByteArray& bytes, const QString& note);
    void send_at_line_speed(const LineWrite& write, qint64 ready_ns);
    void pace();
    void log(const char* direction, const QByteArray& bytes, const QString& note);

    SimOptions m_options;
    VirtualLine m_line;
    BoardTerminal m_terminal;
    QSocketNotifier* m_notifier = nullptr;
    QElapsedTimer m_clock;
    TtyLink m_link;
    std::deque<Outgoing> m_outbox;
    QTimer m_pacer;
    qint64 m_heard_until_ns = 0;  // the last byte heard has fully arrived
    qint64 m_free_from_ns = 0;    // the board's last queued byte has left
};

}  // namespace relay
