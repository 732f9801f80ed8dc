#pragma once

#include "serial/serial_port.h"

#include <QByteArray>
#include <QList>
#include <QStringList>

#include <vector>

namespace relay::testing {

// A port without a device: records what is written and opened, and lets a
// test deliver groups or lose the device.
class FakeSerialPort : public SerialPort {
    Q_OBJECT
public:
    using SerialPort::SerialPort;

    bool open(const QString& port_number_text) override {
        m_open_requests.append(port_number_text);
        if (!m_fail_text.isEmpty()) {
            m_error = m_fail_text;
            return false;
        }
        m_open = true;
        return true;
    }
    void close() override { m_open = false; }
    bool is_open() const override { return m_open; }
    void discard_input() override { ++m_discards; }
    QString error_text() const override { return m_error; }

    void deliver(const Frame& group) { Q_EMIT group_received(group); }
    void lose_device(const QString& message) {
        m_open = false;
        Q_EMIT device_lost(message);
    }

    std::vector<Frame> m_written;
    QStringList m_open_requests;
    QString m_fail_text;  // non-empty: the next open fails with it
    int m_discards = 0;

protected:
    void write_bytes(const Frame& frame) override { m_written.push_back(frame); }

private:
    bool m_open = false;
    QString m_error;
};

}  // namespace relay::testing
