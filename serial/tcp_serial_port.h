#pragma once

#include "protocol/option_text.h"
#include "serial/receive_buffer.h"
#include "serial/serial_port.h"

#include <QAbstractSocket>
#include <QString>

class QTcpSocket;
class QTimer;

namespace relay {

// The link over a raw TCP connection, "tcp:HOST:PORT", as ser2net's accepter
// gives it: the bytes of the line and nothing else. The baud rate and framing
// are set at the far end.
class TcpSerialPort : public SerialPort {
    Q_OBJECT
public:
    // How long open() and open_line_async() wait for the connection.
    static constexpr int ConnectTimeoutMs = 2000;

    explicit TcpSerialPort(QObject* parent = nullptr);
    ~TcpSerialPort() override;

    // port_text is "tcp:HOST:PORT"; anything else fails with error_text() saying so.
    bool open(const QString& port_text) override;
    void close() override;
    bool is_open() const override;
    void discard_input() override;
    QString error_text() const override;
    bool open_line(const QString& port_text) override { return open(port_text); }
    // The same connection made on the event loop; close() gives it up.
    void open_line_async(const QString& port_text) override;
    // "tcp:HOST:PORT" of the last connection made.
    QString device() const override;

protected:
    void write_bytes(const Frame& frame) override;

private:
    void take_line(const TcpAddress& address);
    void on_connected();
    void fail_open(const QString& reason);
    void report_later(bool opened);
    void on_ready_read();
    void on_error(QAbstractSocket::SocketError error);
    void on_disconnected();
    void lose_line(const QString& reason);
    void finish_loss();
    QString reason_of(QAbstractSocket::SocketError error) const;

    QTcpSocket* m_socket = nullptr;
    QTimer* m_open_limit = nullptr;
    TcpAddress m_address;
    TcpAddress m_opening_address;
    QString m_error_text;
    QString m_loss_reason;
    ReceiveBuffer m_received;
    bool m_connected = false;
    bool m_losing = false;
    bool m_opening = false;      // open_line_async() waits for the connection
    quint64 m_open_attempt = 0;  // an outcome reported after close() is dropped
};

}  // namespace relay
