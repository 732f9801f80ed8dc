#pragma once

#include "tools/board_terminal.h"
#include "tools/sim_options.h"
#include "tools/virtual_line.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

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
    void on_readable();
    void put_on_line(const QByteArray& bytes, const QString& note);
    void log(const char* direction, const QByteArray& bytes, const QString& note);
    bool make_link(QString* error);
    void remove_link();

    SimOptions m_options;
    VirtualLine m_line;
    BoardTerminal m_terminal;
    QSocketNotifier* m_notifier = nullptr;
    QElapsedTimer m_clock;
    QString m_link_target;
};

}  // namespace relay
