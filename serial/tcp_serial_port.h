#pragma once

#include "protocol/option_text.h"
#include "serial/receive_buffer.h"
#include "serial/serial_port.h"

#include <QAbstractSocket>
#include <QString>

class QTcpSocket;

namespace relay {

// The link over a raw TCP connection, "tcp:HOST:PORT", as ser2net's accepter
// gives it: the bytes of the line and nothing else. The baud rate and framing
// are set at the far end.
class TcpSerialPort : public SerialPort {
    Q_OBJECT
public:
    // How long open() waits for the connection.
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
    // "tcp:HOST:PORT" of the last connection made.
    QString device() const override;

protected:
    void write_bytes(const Frame& frame) override;

private:
    void on_ready_read();
    void on_error(QAbstractSocket::SocketError error);
    void on_disconnected();
    void lose_line(const QString& reason);
    void finish_loss();
    QString reason_of(QAbstractSocket::SocketError error) const;

    QTcpSocket* m_socket = nullptr;
    TcpAddress m_address;
    QString m_error_text;
    QString m_loss_reason;
    ReceiveBuffer m_received;
    bool m_connected = false;
    bool m_losing = false;
};

}  // namespace relay
