#include "serial/qt_serial_port.h"

#include "protocol/option_text.h"
#include "serial/port_messages.h"

#include <QTimer>

#ifdef Q_OS_UNIX
#include <poll.h>
#endif

namespace relay {

namespace {
// Newer QSerialPort versions read a hung-up tty's end of file silently and
// keep polling it; this check catches that case too.
constexpr int HangupCheckMs = 250;
}  // namespace

QtSerialPort::QtSerialPort(QObject* parent)
    : SerialPort(parent), m_port(new QSerialPort(this)), m_hangup_check(new QTimer(this)) {
    connect(m_port, &QSerialPort::readyRead, this, &QtSerialPort::on_ready_read);
    connect(m_port, &QSerialPort::errorOccurred, this, &QtSerialPort::on_error);
    m_hangup_check->setInterval(HangupCheckMs);
    connect(m_hangup_check, &QTimer::timeout, this, &QtSerialPort::check_hangup);
}

QtSerialPort::~QtSerialPort() {
    m_port->disconnect(this);
    m_port->close();
}

bool QtSerialPort::open(const QString& port_number_text) {
    if (m_port->isOpen()) {
        close();
    }
    m_error_text.clear();
    const PortResolution port = resolve(port_number_text);
    if (!port.ok()) {
        m_error_text = port.failure;
        return false;
    }
    return open_resolved(port);
}

bool QtSerialPort::open_resolved(const PortResolution& port) {
    if (m_port->isOpen()) {
        close();
    }
    m_error_text.clear();
    m_port->setPortName(port.device);
    m_port->setBaudRate(QSerialPort::Baud9600);
    m_port->setDataBits(QSerialPort::Data8);
    m_port->setParity(QSerialPort::NoParity);
    m_port->setStopBits(QSerialPort::OneStop);
    m_port->setFlowControl(QSerialPort::NoFlowControl);
    if (!m_port->open(QIODevice::ReadWrite)) {
        m_error_text = open_failure_text(
            port, inspect_device(port.device, m_port->error(), m_port->errorString()));
        m_port->clearError();
        return false;
    }
    m_opened = port;
    m_losing = false;
    m_received.discard();
#ifdef Q_OS_UNIX
    m_hangup_check->start();
#endif
    return true;
}

bool QtSerialPort::open_line(const QString& port_text) {
    if (!is_device_path(port_text)) {
        return open(port_text);
    }
    PortResolution device;
    device.outcome = PortResolution::Outcome::Device;
    device.device = port_text;
    device.description = port_text;
    return open_resolved(device);
}

void QtSerialPort::close() {
    m_hangup_check->stop();
    m_received.discard();
    m_losing = false;
    if (m_port->isOpen()) {
        m_port->close();
    }
}

bool QtSerialPort::is_open() const {
    // A device found gone counts as closed at once, before the deferred close.
    return m_port->isOpen() && !m_losing;
}

void QtSerialPort::discard_input() {
    if (m_port->isOpen()) {
        // Drops QSerialPort's own buffer and the driver's queue alike.
        m_port->clear(QSerialPort::Input);
    }
    m_received.discard();
}

QString QtSerialPort::error_text() const {
    return m_error_text;
}

void QtSerialPort::set_link_directory(const QString& directory) {
    m_link_directory = directory;
}

PortResolution QtSerialPort::resolve(const QString& port_number_text) const {
    return resolve_port_number(port_number_text, m_link_directory);
}

qint64 QtSerialPort::bytes_waiting() const {
    return m_port->isOpen() ? m_received.waiting() + m_port->bytesAvailable() : 0;
}

void QtSerialPort::write_bytes(const Frame& frame) {
    m_port->write(reinterpret_cast<const char*>(frame.data()), static_cast<qint64>(frame.size()));
}

void QtSerialPort::on_ready_read() {
    if (!is_open()) {
        return;
    }
    if (const std::optional<Frame> group = m_received.arrive(m_port->readAll())) {
        Q_EMIT group_received(*group);
    }
}

void QtSerialPort::on_error(QSerialPort::SerialPortError error) {
    if (!m_port->isOpen()) {
        return;
    }
    // After either of these QSerialPort stops reading or spins on the dead
    // descriptor; the port is no use any more.
    if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError) {
        lose_device();
    }
}

void QtSerialPort::check_hangup() {
#ifdef Q_OS_UNIX
    if (!m_port->isOpen()) {
        return;
    }
    pollfd watch{static_cast<int>(m_port->handle()), POLLIN, 0};
    if (::poll(&watch, 1, 0) > 0 && (watch.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        lose_device();
    }
#endif
}

void QtSerialPort::lose_device() {
    if (m_losing) {
        return;
    }
    m_losing = true;
    m_hangup_check->stop();
    // Closing inside QSerialPort's own notification would pull its notifier
    // out from under it.
    QMetaObject::invokeMethod(this, &QtSerialPort::finish_loss, Qt::QueuedConnection);
}

void QtSerialPort::finish_loss() {
    if (!m_losing) {
        return;  // the operator closed the port meanwhile
    }
    const QString message = device_lost_text(m_opened);
    m_port->close();
    m_losing = false;
    m_error_text = message;
    Q_EMIT device_lost(message);
}

}  // namespace relay
