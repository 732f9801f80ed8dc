#pragma once

#include <QByteArray>
#include <QString>

namespace relay {

// The far end of a line, where a board sits: the master side of a new
// pseudo-terminal, or a serial device. The virtual board answers on it, and
// relayd's shared ports hand out boards through it. Raw bytes at 9600 baud, 8 data bits, no parity,
// 1 stop bit.
class BoardTerminal {
public:
    BoardTerminal() = default;
    ~BoardTerminal();
    BoardTerminal(const BoardTerminal&) = delete;
    BoardTerminal& operator=(const BoardTerminal&) = delete;

    // A new pseudo-terminal. The board keeps its own slave descriptor open, so
    // the panel can close and reopen the tty without hanging the line up.
    bool open_pty(QString* error);
    bool open_device(const QString& path, QString* error);
    // Closing a pseudo-terminal hangs it up: the panel's side sees the device gone.
    void close();

    bool is_open() const { return m_fd >= 0; }
    // Non-blocking; select or poll it for reading.
    int fd() const { return m_fd; }
    // What the panel opens: the slave tty, or the device itself.
    QString tty_path() const { return m_tty_path; }

    // Everything waiting now; empty when nothing is. hung_up tells a line
    // that is gone (a device pulled out), which keeps reporting readable.
    QByteArray read_available(bool* hung_up = nullptr);
    // False when the bytes could not all be handed to the line.
    bool write(const QByteArray& bytes);
    // Readable when another program has closed the pseudo-terminal (-1 for a
    // device); then call release_exclusive().
    int close_watch_fd() const { return m_close_watch; }
    void release_exclusive();
    // Bytes written to a pseudo-terminal that the panel has not read yet.
    int unread_by_panel() const;

private:
    int m_fd = -1;
    int m_slave_fd = -1;
    int m_close_watch = -1;
    QString m_tty_path;
};

}  // namespace relay
