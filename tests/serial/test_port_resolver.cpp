#include "serial/port_resolver.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace relay;

namespace {

ListedPort listed(const char* name) {
    const QString port = QString::fromLatin1(name);
    return {port, QStringLiteral("/dev/") + port, QStringLiteral("desc ") + port, {}};
}

// Deliberately out of order.
std::vector<ListedPort> machine_ports() {
    return {listed("ttyS0"),  listed("ttyUSB10"), listed("ttyACM0"), listed("ttyUSB2"),
            listed("ttyS10"), listed("ttyS2"),    listed("ttyAMA0")};
}

}  // namespace

class TestPortResolver : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void numberPicksListedPortUsbFirstInNaturalOrder_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("device");
        QTest::newRow("1 is the first USB adapter") << "1"
                                                    << "/dev/ttyACM0";
        QTest::newRow("ttyUSB2 before ttyUSB10") << "2"
                                                 << "/dev/ttyUSB2";
        QTest::newRow("3") << "3"
                           << "/dev/ttyUSB10";
        QTest::newRow("others after USB") << "4"
                                          << "/dev/ttyAMA0";
        QTest::newRow("ttyS2 before ttyS10") << "6"
                                             << "/dev/ttyS2";
        QTest::newRow("last") << "7"
                              << "/dev/ttyS10";
        QTest::newRow("blanks around") << " 2 "
                                       << "/dev/ttyUSB2";
        QTest::newRow("half rounds to even") << "2.5"
                                             << "/dev/ttyUSB2";
    }
    void numberPicksListedPortUsbFirstInNaturalOrder() {
        QFETCH(QString, text);
        QFETCH(QString, device);
        QTemporaryDir empty;
        const PortResolution r =
            resolve_port_number(text, machine_ports(), empty.path(), PortNaming::Unix);
        QVERIFY(r.ok());
        QCOMPARE(r.device, device);
        QVERIFY(r.link.isEmpty());
        QVERIFY2(r.description.contains(device), qPrintable(r.description));
    }

    void badNumberTextFailsNamingTheText_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("letters") << "abc";
        QTest::newRow("above 16 bits") << "70000";
        QTest::newRow("below 16 bits") << "-32769";
        QTest::newRow("empty") << "";
    }
    void badNumberTextFailsNamingTheText() {
        QFETCH(QString, text);
        const PortResolution r =
            resolve_port_number(text, machine_ports(), QString(), PortNaming::Unix);
        QCOMPARE(r.outcome, PortResolution::Outcome::BadNumber);
        QVERIFY(r.device.isEmpty());
        QVERIFY2(r.failure.contains(QStringLiteral("“%1”").arg(text)), qPrintable(r.failure));
    }

    void numberWithoutDeviceFails_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("listed");
        QTest::addColumn<QString>("mentions");
        QTest::newRow("past the list") << "8" << 7 << "/dev/ttyS10";
        QTest::newRow("zero") << "0" << 7 << "com0";
        QTest::newRow("negative") << "-3" << 7 << "com-3";
        QTest::newRow("nothing listed") << "1" << 0 << "com1";
    }
    void numberWithoutDeviceFails() {
        QFETCH(QString, text);
        QFETCH(int, listed);
        QFETCH(QString, mentions);
        QTemporaryDir empty;
        std::vector<ListedPort> ports = machine_ports();
        ports.resize(static_cast<std::size_t>(listed));
        const PortResolution r = resolve_port_number(text, ports, empty.path(), PortNaming::Unix);
        QCOMPARE(r.outcome, PortResolution::Outcome::NoDevice);
        QVERIFY2(r.failure.contains(QStringLiteral("串口 %1").arg(text.toInt())),
                 qPrintable(r.failure));
        QVERIFY2(r.failure.contains(mentions), qPrintable(r.failure));
    }

    void linkInProgramDirectoryWinsOverList() {
        QTemporaryDir dir;
        const QString device = dir.filePath(QStringLiteral("device"));
        QFile(device).open(QIODevice::WriteOnly);
        QVERIFY(QFile::link(device, dir.filePath(QStringLiteral("com2"))));
        const PortResolution r =
            resolve_port_number(QStringLiteral("2"), machine_ports(), dir.path(), PortNaming::Unix);
        QVERIFY(r.ok());
        QCOMPARE(r.device, QFileInfo(device).canonicalFilePath());
        QCOMPARE(r.link, dir.filePath(QStringLiteral("com2")));
        QVERIFY(r.description.contains(r.link));
        // Other numbers still come from the list.
        QCOMPARE(
            resolve_port_number(QStringLiteral("1"), machine_ports(), dir.path(), PortNaming::Unix)
                .device,
            QStringLiteral("/dev/ttyACM0"));
    }

    void linkToMissingDeviceIsNotReplacedByAListedPort() {
        QTemporaryDir dir;
        const QString gone = dir.filePath(QStringLiteral("unplugged"));
        QVERIFY(QFile::link(gone, dir.filePath(QStringLiteral("com1"))));
        const PortResolution r =
            resolve_port_number(QStringLiteral("1"), machine_ports(), dir.path(), PortNaming::Unix);
        QVERIFY(r.ok());
        QCOMPARE(r.device, gone);
    }

    void upperCaseLinkNameIsNotALink() {
        QTemporaryDir dir;
        QFile(dir.filePath(QStringLiteral("COM1"))).open(QIODevice::WriteOnly);
        const PortResolution r =
            resolve_port_number(QStringLiteral("1"), machine_ports(), dir.path(), PortNaming::Unix);
        QCOMPARE(r.device, QStringLiteral("/dev/ttyACM0"));
    }

    void windowsNumberIsComN_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("mentions");
        QTest::newRow("listed") << "3" << true << "COM3"
                                << "USB-SERIAL CH340";
        QTest::newRow("not listed") << "12" << true << "COM12"
                                    << "未列出";
        QTest::newRow("zero") << "0" << false << ""
                              << "COM1";
    }
    void windowsNumberIsComN() {
        QFETCH(QString, text);
        QFETCH(bool, ok);
        QFETCH(QString, device);
        QFETCH(QString, mentions);
        const std::vector<ListedPort> ports = {
            {QStringLiteral("COM3"), QStringLiteral("\\\\.\\COM3"),
             QStringLiteral("USB-SERIAL CH340"), QStringLiteral("wch.cn")},
            {QStringLiteral("COM1"), QStringLiteral("\\\\.\\COM1"), {}, {}}};
        const PortResolution r = resolve_port_number(text, ports, QString(), PortNaming::Windows);
        QCOMPARE(r.ok(), ok);
        QCOMPARE(r.device, device);
        QVERIFY2((ok ? r.description : r.failure).contains(mentions), qPrintable(r.description));
    }

    void naturalOrder_data() {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<bool>("less");
        QTest::newRow("2 < 10") << "ttyUSB2"
                                << "ttyUSB10" << true;
        QTest::newRow("10 > 2") << "ttyUSB10"
                                << "ttyUSB2" << false;
        QTest::newRow("prefix first") << "ttyACM9"
                                      << "ttyUSB0" << true;
        QTest::newRow("equal") << "ttyS1"
                               << "ttyS1" << false;
        QTest::newRow("leading zero same value") << "ttyS01"
                                                 << "ttyS1" << true;
        QTest::newRow("huge numbers") << "x99999999999999999998"
                                      << "x99999999999999999999" << true;
        QTest::newRow("shorter name first") << "ttyS"
                                            << "ttyS0" << true;
    }
    void naturalOrder() {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(bool, less);
        QCOMPARE(natural_less(a, b), less);
        if (less) {
            QVERIFY(!natural_less(b, a));
        }
    }
};

QTEST_GUILESS_MAIN(TestPortResolver)
#include "test_port_resolver.moc"
