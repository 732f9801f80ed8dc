#pragma once

#include "protocol/frame.h"

#include <QObject>
#include <QString>

namespace relay {

// The port that carries the frames. The concrete class owns the device; this
// base holds the link's own rule for writing a frame.
class SerialPort : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~SerialPort() override = default;

    // Opens the port that the operator's number text selects. On failure the
    // port stays closed and error_text() says why, in the operator's language.
    virtual bool open(const QString& port_number_text) = 0;
    virtual void close() = 0;
    virtual bool is_open() const = 0;
    virtual void discard_input() = 0;
    virtual QString error_text() const = 0;
    // The command-line programs' wider choice: what the port number text
    // names, or a device path, or for other kinds of line their own address.
    virtual bool open_line(const QString& port_text) { return open(port_text); }
    // open_line() without waiting for the line: line_opened() or
    // open_failed() follows, never before this returns. Here the open itself
    // is made at once; a line that can take long to answer overrides it.
    virtual void open_line_async(const QString& port_text) {
        const bool opened = open_line(port_text);
        const QString reason = error_text();
        QMetaObject::invokeMethod(
            this,
            [this, opened, reason] {
                if (opened) {
                    Q_EMIT line_opened();
                } else {
                    Q_EMIT open_failed(reason);
                }
            },
            Qt::QueuedConnection);
    }
    // What the open port is connected to, for messages.
    virtual QString device() const { return QString(); }

    // The frame write of the link: nothing while closed; otherwise the receive
    // buffer is emptied first, so the reply is read from its first byte.
    void write_frame(const Frame& frame) {
        if (!is_open()) {
            return;
        }
        discard_input();
        write_bytes(frame);
    }

Q_SIGNALS:
    // Exactly one group of 8 bytes per arrival with at least 8 waiting.
    void group_received(const relay::Frame& group);
    // The device went away while open; the port is already closed.
    void device_lost(const QString& message);
    // The outcome of open_line_async(); reason as error_text() says it.
    void line_opened();
    void open_failed(const QString& reason);

protected:
    virtual void write_bytes(const Frame& frame) = 0;
};

}  // namespace relay
