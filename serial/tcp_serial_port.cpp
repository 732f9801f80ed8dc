#include "serial/tcp_serial_port.h"

#include <QTcpSocket>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace relay {

namespace {
// Bytes the program wrote before closing still go out, within reason.
constexpr int CloseWaitMs = 1000;
// Writes unacknowledged this long mean the far end has vanished without a
// word (a cable pulled, a machine gone); the pollers write every 200 ms.
constexpr unsigned int SilentLossMs = 5000;
}  // namespace

TcpSerialPort::TcpSerialPort(QObject* parent)
    : SerialPort(parent), m_socket(new QTcpSocket(this)), m_open_limit(new QTimer(this)) {
    m_open_limit->setSingleShot(true);
    m_open_limit->setInterval(ConnectTimeoutMs);
    connect(m_open_limit, &QTimer::timeout, this,
            [this] { fail_open(reason_of(QAbstractSocket::SocketTimeoutError)); });
    connect(m_socket, &QTcpSocket::connected, this, &TcpSerialPort::on_connected);
    connect(m_socket, &QTcpSocket::readyRead, this, &TcpSerialPort::on_ready_read);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &TcpSerialPort::on_error);
    connect(m_socket, &QTcpSocket::disconnected, this, &TcpSerialPort::on_disconnected);
}

TcpSerialPort::~TcpSerialPort() {
    m_socket->disconnect(this);
    m_socket->abort();
}

bool TcpSerialPort::open(const QString& port_text) {
    close();
    m_error_text.clear();
    const std::optional<TcpAddress> address = tcp_address(port_text);
    if (!address) {
        m_error_text = QStringLiteral("\"%1\" is not tcp:HOST:PORT").arg(port_text);
        return false;
    }
    // A short blocking wait: the program has nothing to do without its line,
    // and open_line() must say whether the line is there.
    m_socket->connectToHost(address->host, address->port);
    if (!m_socket->waitForConnected(ConnectTimeoutMs)) {
        m_error_text = QStringLiteral("cannot connect to %1: %2")
                           .arg(address->text(), reason_of(m_socket->error()));
        m_socket->abort();
        return false;
    }
    take_line(*address);
    return true;
}

void TcpSerialPort::open_line_async(const QString& port_text) {
    close();
    m_error_text.clear();
    const std::optional<TcpAddress> address = tcp_address(port_text);
    if (!address) {
        m_error_text = QStringLiteral("\"%1\" is not tcp:HOST:PORT").arg(port_text);
        report_later(false);
        return;
    }
    m_opening = true;
    m_opening_address = *address;
    m_open_limit->start();
    m_socket->connectToHost(address->host, address->port);
}

void TcpSerialPort::take_line(const TcpAddress& address) {
    // An 8-byte frame must not wait for the previous one to be acknowledged.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
#ifdef TCP_USER_TIMEOUT
    const unsigned int silent_loss = SilentLossMs;
    ::setsockopt(static_cast<int>(m_socket->socketDescriptor()), IPPROTO_TCP, TCP_USER_TIMEOUT,
                 &silent_loss, sizeof silent_loss);
#endif
    m_address = address;
    m_received.discard();
    m_connected = true;
}

void TcpSerialPort::on_connected() {
    if (!m_opening) {
        return;  // open() waits for it itself
    }
    m_opening = false;
    m_open_limit->stop();
    take_line(m_opening_address);
    report_later(true);
}

void TcpSerialPort::fail_open(const QString& reason) {
    if (!m_opening) {
        return;
    }
    m_opening = false;
    m_open_limit->stop();
    m_error_text = QStringLiteral("cannot connect to %1: %2").arg(m_opening_address.text(), reason);
    report_later(false);
}

void TcpSerialPort::report_later(bool opened) {
    // Out of the socket's own notification: aborting inside it would pull the
    // socket out from under Qt, and the receiver may well open again.
    const quint64 attempt = m_open_attempt;
    QMetaObject::invokeMethod(
        this,
        [this, attempt, opened] {
            if (attempt != m_open_attempt) {
                return;  // closed or opened again meanwhile
            }
            if (opened) {
                Q_EMIT line_opened();
            } else {
                m_socket->abort();
                Q_EMIT open_failed(m_error_text);
            }
        },
        Qt::QueuedConnection);
}

void TcpSerialPort::close() {
    ++m_open_attempt;
    m_opening = false;
    m_open_limit->stop();
    discard_input();  // unread input would make the close a reset
    m_connected = false;
    m_losing = false;
    if (m_socket->state() == QAbstractSocket::HostLookupState ||
        m_socket->state() == QAbstractSocket::ConnectingState) {
        m_socket->abort();  // a connection still being made is given up
        return;
    }
    if (m_socket->state() == QAbstractSocket::UnconnectedState) {
        return;
    }
    m_socket->disconnectFromHost();
    if (m_socket->state() != QAbstractSocket::UnconnectedState) {
        m_socket->waitForDisconnected(CloseWaitMs);
    }
    m_socket->abort();
}

bool TcpSerialPort::is_open() const {
    return m_connected && !m_losing;
}

void TcpSerialPort::discard_input() {
    m_received.discard();
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        return;
    }
    m_socket->skip(m_socket->bytesAvailable());
#ifdef Q_OS_UNIX
    // What the system holds and Qt has not fetched yet, as a tty purge drops
    // the driver's queue.
    char scrap[256];
    while (::recv(static_cast<int>(m_socket->socketDescriptor()), scrap, sizeof scrap,
                  MSG_DONTWAIT) > 0) {
    }
#endif
}

QString TcpSerialPort::error_text() const {
    return m_error_text;
}

QString TcpSerialPort::device() const {
    return m_address.host.isEmpty() ? QString() : QStringLiteral("tcp:") + m_address.text();
}

void TcpSerialPort::write_bytes(const Frame& frame) {
    m_socket->write(reinterpret_cast<const char*>(frame.data()), static_cast<qint64>(frame.size()));
    m_socket->flush();  // out now, not when the event loop next runs
}

void TcpSerialPort::on_ready_read() {
    if (!is_open()) {
        return;
    }
    if (const std::optional<Frame> group = m_received.arrive(m_socket->readAll())) {
        Q_EMIT group_received(*group);
    }
}

void TcpSerialPort::on_error(QAbstractSocket::SocketError error) {
    if (m_opening) {
        fail_open(reason_of(error));
    } else if (m_connected) {
        lose_line(reason_of(error));
    }
}

void TcpSerialPort::on_disconnected() {
    if (m_connected) {
        lose_line(reason_of(QAbstractSocket::RemoteHostClosedError));
    }
}

void TcpSerialPort::lose_line(const QString& reason) {
    if (m_losing) {
        return;
    }
    m_losing = true;
    m_loss_reason = reason;
    // Aborting inside the socket's own notification would pull it out from
    // under Qt.
    QMetaObject::invokeMethod(this, &TcpSerialPort::finish_loss, Qt::QueuedConnection);
}

void TcpSerialPort::finish_loss() {
    if (!m_losing) {
        return;  // the program closed the port meanwhile
    }
    m_losing = false;
    m_connected = false;
    m_received.discard();
    m_socket->abort();
    m_error_text = QStringLiteral("connection to %1 lost: %2").arg(m_address.text(), m_loss_reason);
    Q_EMIT device_lost(m_error_text);
}

QString TcpSerialPort::reason_of(QAbstractSocket::SocketError error) const {
    switch (error) {
        case QAbstractSocket::ConnectionRefusedError:
            return QStringLiteral("connection refused");
        case QAbstractSocket::HostNotFoundError:
            return QStringLiteral("host not found");
        case QAbstractSocket::SocketTimeoutError:
            return QStringLiteral("no answer within %1 ms").arg(ConnectTimeoutMs);
        case QAbstractSocket::RemoteHostClosedError:
            return QStringLiteral("closed by the other end");
        default: {
            QString text = m_socket->errorString();
            if (!text.isEmpty()) {
                text[0] = text[0].toLower();
            }
            return text;
        }
    }
}

}  // namespace relay
