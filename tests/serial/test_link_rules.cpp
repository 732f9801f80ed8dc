#include "serial/port_messages.h"
#include "serial/port_resolver.h"
#include "serial/receive_buffer.h"

#include <QtTest>

#include "support/table.h"

using namespace relay;
using relay::testing::row;

class TestLinkRules : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Arrivals in hex, "-" purges; per arrival the group handed over, "-" for none.
    void receiveBufferHandsOneGroupPerArrival_data() {
        QTest::addColumn<QString>("arrivals");
        QTest::addColumn<QString>("groups");
        QTest::addColumn<int>("left");
        row("split reply: under 8 bytes wait", "220110 0000000538", "- 2201100000000538", 0);
        row("sixteen at once give one group, the next arrival the next",
            "22011000000005382207400000000069 aa", "2201100000000538 2207400000000069", 1);
        row("purge drops a stale byte", "00 - 2201100000000538", "- 2201100000000538", 0);
        row("flood is cut at capacity", QString(6 * ReceiveBuffer::Capacity, '2'),
            "2222222222222222", int(ReceiveBuffer::Capacity) - 8);
    }
    void receiveBufferHandsOneGroupPerArrival() {
        QFETCH(QString, arrivals);
        QFETCH(QString, groups);
        QFETCH(int, left);
        ReceiveBuffer buffer;
        QStringList handed;
        for (const QString& arrival : arrivals.split(' ')) {
            if (arrival == "-") {
                buffer.discard();
                continue;
            }
            const auto g = buffer.arrive(QByteArray::fromHex(arrival.toLatin1()));
            handed << (g ? QByteArray(reinterpret_cast<const char*>(g->data()), 8).toHex() : "-");
        }
        QCOMPARE(handed.join(' '), groups);
        QCOMPARE(buffer.waiting(), qsizetype(left));
    }

    // link: a comN link beside the program to this file name; "unplugged" dangles.
    void portNumberResolvesToADevice_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("link");
        QTest::addColumn<bool>("windows");
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("mentions");
        row("1 is the first USB adapter", "1", "", false, "ttyACM0", "/dev/ttyACM0");
        row("USB first, ttyUSB2 before ttyUSB10", "3", "", false, "ttyUSB10", "串口 3");
        row("ttyS2 before ttyS10", "6", "", false, "ttyS2", "ttyS2");
        row("comN link wins", "2", "board", false, "board", "com2");
        row("dangling comN link, no fallback", "1", "unplugged", false, "unplugged", "com1");
        row("past the list", "8", "", false, "", "串口 8");
        row("Windows COMn", "3", "", true, "COM3", "CH340");
        row("Windows COMn, not listed", "12", "", true, "COM12", "COM12");
        row("Windows has no COM0", "0", "", true, "", "COM1");
    }
    void portNumberResolvesToADevice() {
        QFETCH(QString, text);
        QFETCH(QString, link);
        QFETCH(bool, windows);
        QFETCH(QString, device);
        QFETCH(QString, mentions);
        QTemporaryDir dir;
        QFile(dir.filePath("board")).open(QIODevice::WriteOnly);
        if (!link.isEmpty()) {
            QVERIFY(QFile::link(dir.filePath(link), dir.filePath("com" + text)));
        }
        std::vector<ListedPort> ports{{"COM3", "\\\\.\\COM3", "CH340", {}}};
        // Deliberately out of order.
        for (const char* name : {"ttyS0", "ttyUSB10", "ttyACM0", "ttyUSB2", "ttyS10", "ttyS2"}) {
            ports.push_back({name, QStringLiteral("/dev/") + name, {}, {}});
        }
        const PortResolution r = resolve_port_number(
            text, ports, dir.path(), windows ? PortNaming::Windows : PortNaming::Unix);
        QCOMPARE(QFileInfo(r.device).fileName(), device);
        QVERIFY2((r.ok() ? r.description : r.failure).contains(mentions),
                 qPrintable(r.description + r.failure));
    }

    void permissionFailureAdvisesTheDevicesGroup_data() {
        QTest::addColumn<QString>("group");
        QTest::addColumn<bool>("accessible");
        QTest::addColumn<QString>("advice");
        QTest::addColumn<QString>("never");
        row("device's group", "uucp", false, "usermod -aG uucp $USER", "占用");
        row("root's group never: dialout instead", "root", false, "-aG dialout", "-aG root");
        row("accessible yet refused: in use", "dialout", true, "占用", "usermod");
    }
    void permissionFailureAdvisesTheDevicesGroup() {
        QFETCH(QString, group);
        QFETCH(bool, accessible);
        QFETCH(QString, advice);
        QFETCH(QString, never);
        const PortResolution port{PortResolution::Outcome::Device, 3, "/dev/ttyUSB0", {}, {}, {}};
        const QString text = open_failure_text(
            port, OpenFailure{QSerialPort::PermissionError, {}, group, accessible});
        QVERIFY2(text.contains("串口 3") && text.contains(port.device) && text.contains(advice) &&
                     !text.contains(never),
                 qPrintable(text));
    }
};

QTEST_GUILESS_MAIN(TestLinkRules)
#include "test_link_rules.moc"
