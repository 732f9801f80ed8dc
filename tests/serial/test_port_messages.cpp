#include "serial/port_messages.h"

#include <QtTest>

using namespace relay;

namespace {

PortResolution usb_port() {
    PortResolution port;
    port.outcome = PortResolution::Outcome::Device;
    port.number = 3;
    port.device = QStringLiteral("/dev/ttyUSB0");
    return port;
}

}  // namespace

class TestPortMessages : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void openFailureNamesNumberDeviceAndReason_data() {
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("group");
        QTest::addColumn<bool>("accessible");
        QTest::addColumn<QString>("mentions");
        QTest::addColumn<QString>("never");
        QTest::newRow("no permission, dialout") << int(QSerialPort::PermissionError) << "dialout"
                                                << false << "sudo usermod -aG dialout $USER"
                                                << "占用";
        QTest::newRow("no permission, other group")
            << int(QSerialPort::PermissionError) << "uucp" << false << "sudo usermod -aG uucp $USER"
            << "占用";
        QTest::newRow("root's group is never advised")
            << int(QSerialPort::PermissionError) << "root" << false
            << "sudo usermod -aG dialout $USER"
            << "-aG root";
        QTest::newRow("accessible yet refused: in use")
            << int(QSerialPort::PermissionError) << "dialout" << true << "占用"
            << "usermod";
        QTest::newRow("not a serial port")
            << int(QSerialPort::UnsupportedOperationError) << "" << true << "不是串口"
            << "usermod";
        QTest::newRow("gone") << int(QSerialPort::DeviceNotFoundError) << "" << true << "不存在"
                              << "usermod";
    }
    void openFailureNamesNumberDeviceAndReason() {
        QFETCH(int, error);
        QFETCH(QString, group);
        QFETCH(bool, accessible);
        QFETCH(QString, mentions);
        QFETCH(QString, never);
        OpenFailure failure;
        failure.error = static_cast<QSerialPort::SerialPortError>(error);
        failure.system_reason = QStringLiteral("Permission denied");
        failure.device_group = group;
        failure.accessible = accessible;
        const QString text = open_failure_text(usb_port(), failure);
        QVERIFY2(text.contains(QStringLiteral("串口 3")), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("/dev/ttyUSB0")), qPrintable(text));
        QVERIFY2(text.contains(mentions), qPrintable(text));
        QVERIFY2(!text.contains(never), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("Permission denied")), qPrintable(text));
    }

    void missingDeviceBehindLinkNamesBoth() {
        PortResolution port = usb_port();
        port.link = QStringLiteral("/opt/panel/com3");
        port.device = QStringLiteral("/dev/serial/by-id/usb-FTDI-if00");
        OpenFailure failure;
        failure.error = QSerialPort::DeviceNotFoundError;
        const QString text = open_failure_text(port, failure);
        QVERIFY2(text.contains(port.link) && text.contains(port.device), qPrintable(text));
    }

    void lostDeviceTextNamesNumberAndDevice() {
        const QString text = device_lost_text(usb_port());
        QVERIFY2(text.contains(QStringLiteral("串口 3")), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("/dev/ttyUSB0")), qPrintable(text));
    }
};

QTEST_GUILESS_MAIN(TestPortMessages)
#include "test_port_messages.moc"
