#pragma once

#include "serial/port_resolver.h"
#include "serial/receive_buffer.h"
#include "serial/serial_port.h"

#include <QSerialPort>
#include <QString>

class QTimer;

namespace relay {

// The link over QSerialPort: 9600 baud, 8 data bits, no parity, 1 stop bit,
// no flow control, raw bytes.
class QtSerialPort : public SerialPort {
    Q_OBJECT
public:
    explicit QtSerialPort(QObject* parent = nullptr);
    ~QtSerialPort() override;

    bool open(const QString& port_number_text) override;
    void close() override;
    bool is_open() const override;
    void discard_input() override;
    QString error_text() const override;

    // Where comN links are looked for; the program's own directory unless set.
    void set_link_directory(const QString& directory);
    // Opens a device already resolved, e.g. a path given in place of a number.
    bool open_resolved(const PortResolution& port);
    // A number as in the panel, or a device path.
    bool open_line(const QString& port_text) override;
    QString device() const override { return m_opened.device; }
    // What a number text would open, for the window to show the operator.
    PortResolution resolve(const QString& port_number_text) const;
    // The device of the open port.
    const PortResolution& opened() const { return m_opened; }
    // Bytes received and not yet delivered.
    qint64 bytes_waiting() const;

protected:
    void write_bytes(const Frame& frame) override;

private:
    void on_ready_read();
    void on_error(QSerialPort::SerialPortError error);
    void check_hangup();
    void lose_device();
    void finish_loss();

    QSerialPort* m_port = nullptr;
    QTimer* m_hangup_check = nullptr;
    QString m_link_directory;
    QString m_error_text;
    PortResolution m_opened;
    ReceiveBuffer m_received;
    bool m_losing = false;
};

}  // namespace relay
