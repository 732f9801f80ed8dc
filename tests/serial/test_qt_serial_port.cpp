#include "serial/qt_serial_port.h"
#include "support/frame_bytes.h"
#include "tools/board_terminal.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

using namespace relay;
using relay::testing::frame_from_hex;
using relay::testing::frame_to_hex;

namespace {

constexpr int Patience = 5000;

QByteArray bytes_of(const char* hex) {
    return QByteArray::fromHex(QByteArray(hex).replace(' ', ""));
}

QString hex_of(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

// A panel port and a board end on a fresh pseudo-terminal, linked as comN.
struct Rig {
    QTemporaryDir dir;
    BoardTerminal board;
    QtSerialPort port;

    Rig() { port.set_link_directory(dir.path()); }

    QString link(int number) const { return dir.filePath(QStringLiteral("com%1").arg(number)); }

    bool plug(int number = 1) {
        QString error;
        QFile::remove(link(number));
        return board.open_pty(&error) && QFile::link(board.tty_path(), link(number));
    }

    // Reads what the panel wrote until count bytes have come.
    QByteArray line_read(int count) {
        QByteArray got;
        // On a timeout the caller's comparison shows what did come.
        static_cast<void>(QTest::qWaitFor(
            [&] {
                got += board.read_available();
                return got.size() >= count;
            },
            Patience));
        return got;
    }

    // Waits without running the event loop, so the port has not read them yet.
    bool queued_for_panel(int count) {
        const QDeadlineTimer deadline(Patience);
        while (board.unread_by_panel() < count) {
            if (deadline.hasExpired()) {
                return false;
            }
            QThread::usleep(500);
        }
        return true;
    }
};

Frame group_at(const QSignalSpy& spy, int index) {
    return qvariant_cast<Frame>(spy.at(index).at(0));
}

const char* const StatusQuery = "55 01 10 00 00 00 00 66";
const char* const ReplyA = "22 01 10 00 00 0A 5F 9C";
const char* const ReplyB = "22 01 10 00 00 00 05 38";

}  // namespace

class TestQtSerialPort : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void frameGoesOutAndReplyComesBackExactly() {
        Rig rig;
        QVERIFY(rig.plug());
        QVERIFY2(rig.port.open(QStringLiteral("1")), qPrintable(rig.port.error_text()));
        QVERIFY(rig.port.is_open());
        QSignalSpy groups(&rig.port, &SerialPort::group_received);
        rig.port.write_frame(frame_from_hex(StatusQuery));
        QCOMPARE(hex_of(rig.line_read(8)), QString(StatusQuery));
        QVERIFY(rig.board.write(bytes_of(ReplyA)));
        QTRY_COMPARE_WITH_TIMEOUT(groups.count(), 1, Patience);
        QCOMPARE(frame_to_hex(group_at(groups, 0)), QString(ReplyA));
    }

    void staleByteIsDiscardedBeforeTheWrite_data() {
        QTest::addColumn<bool>("taken_in_by_port");
        QTest::newRow("already in the port's buffer") << true;
        QTest::newRow("still in the driver") << false;
    }
    void staleByteIsDiscardedBeforeTheWrite() {
        QFETCH(bool, taken_in_by_port);
        Rig rig;
        QVERIFY(rig.plug());
        QVERIFY(rig.port.open(QStringLiteral("1")));
        QSignalSpy groups(&rig.port, &SerialPort::group_received);
        QVERIFY(rig.board.write(bytes_of("9C")));
        if (taken_in_by_port) {
            QTRY_COMPARE_WITH_TIMEOUT(rig.port.bytes_waiting(), qint64(1), Patience);
        } else {
            QVERIFY(rig.queued_for_panel(1));
        }
        rig.port.write_frame(frame_from_hex(StatusQuery));
        QCOMPARE(rig.port.bytes_waiting(), qint64(0));
        QCOMPARE(hex_of(rig.line_read(8)), QString(StatusQuery));
        QVERIFY(rig.board.write(bytes_of(ReplyA)));
        QTRY_COMPARE_WITH_TIMEOUT(groups.count(), 1, Patience);
        QCOMPARE(frame_to_hex(group_at(groups, 0)), QString(ReplyA));
    }

    void sixteenBytesGiveOneGroupThenTheNextOnNextArrival() {
        Rig rig;
        QVERIFY(rig.plug());
        QVERIFY(rig.port.open(QStringLiteral("1")));
        QSignalSpy groups(&rig.port, &SerialPort::group_received);
        QVERIFY(rig.board.write(bytes_of(ReplyA) + bytes_of(ReplyB)));
        QVERIFY(rig.queued_for_panel(16));
        QTRY_COMPARE_WITH_TIMEOUT(groups.count(), 1, Patience);
        QCOMPARE(frame_to_hex(group_at(groups, 0)), QString(ReplyA));
        QCOMPARE(rig.port.bytes_waiting(), qint64(8));

        QVERIFY(rig.board.write(bytes_of("00")));
        QTRY_COMPARE_WITH_TIMEOUT(groups.count(), 2, Patience);
        QCOMPARE(frame_to_hex(group_at(groups, 1)), QString(ReplyB));
        QCOMPARE(rig.port.bytes_waiting(), qint64(1));
    }

    void groupOfFewerThanEightNeverArrives() {
        Rig rig;
        QVERIFY(rig.plug());
        QVERIFY(rig.port.open(QStringLiteral("1")));
        QSignalSpy groups(&rig.port, &SerialPort::group_received);
        QVERIFY(rig.board.write(bytes_of("22 01 10")));
        QTRY_COMPARE_WITH_TIMEOUT(rig.port.bytes_waiting(), qint64(3), Patience);
        QCOMPARE(groups.count(), 0);
        QVERIFY(rig.board.write(bytes_of("00 00 0A 5F 9C")));
        QTRY_COMPARE_WITH_TIMEOUT(groups.count(), 1, Patience);
        QCOMPARE(frame_to_hex(group_at(groups, 0)), QString(ReplyA));
    }

    void nothingIsWrittenWhileClosed() {
        Rig rig;
        QVERIFY(rig.plug());
        QVERIFY(rig.port.open(QStringLiteral("1")));
        rig.port.close();
        QVERIFY(!rig.port.is_open());
        rig.port.write_frame(frame_from_hex("55 01 13 00 00 FF FF 67"));
        QVERIFY(rig.port.open(QStringLiteral("1")));
        rig.port.write_frame(frame_from_hex(StatusQuery));
        // Frames leave in order: had the first gone out, it would come first.
        QCOMPARE(hex_of(rig.line_read(8)), QString(StatusQuery));
    }

    void failedOpeningStaysClosedAndSaysWhy_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("link_to");
        QTest::addColumn<QStringList>("mentions");
        QTest::newRow("letters") << "abc"
                                 << "" << QStringList{"abc"};
        QTest::newRow("beyond 16 bits") << "70000"
                                        << "" << QStringList{"70000"};
        QTest::newRow("no device for the number") << "32000"
                                                  << "" << QStringList{"32000", "com32000"};
        QTest::newRow("link to a missing device")
            << "5"
            << "/nonexistent/ttyUSB9" << QStringList{"串口 5", "/nonexistent/ttyUSB9"};
        QTest::newRow("link to something that is no serial port")
            << "6"
            << "plain-file" << QStringList{"串口 6", "plain-file", "不是串口"};
    }
    void failedOpeningStaysClosedAndSaysWhy() {
        QFETCH(QString, text);
        QFETCH(QString, link_to);
        QFETCH(QStringList, mentions);
        Rig rig;
        if (!link_to.isEmpty()) {
            const QString target = link_to.startsWith('/') ? link_to : rig.dir.filePath(link_to);
            if (!link_to.startsWith('/')) {
                QFile file(target);
                QVERIFY(file.open(QIODevice::WriteOnly));
            }
            QVERIFY(QFile::link(target, rig.link(text.toInt())));
        }
        QSignalSpy lost(&rig.port, &SerialPort::device_lost);
        QVERIFY(!rig.port.open(text));
        QVERIFY(!rig.port.is_open());
        for (const QString& mention : mentions) {
            QVERIFY2(rig.port.error_text().contains(mention), qPrintable(rig.port.error_text()));
        }
        QCOMPARE(lost.count(), 0);
    }

    void vanishedDeviceClosesThePortAndIsToldOnce() {
        Rig rig;
        QVERIFY(rig.plug());
        QVERIFY(rig.port.open(QStringLiteral("1")));
        const QString device = rig.board.tty_path();
        QSignalSpy lost(&rig.port, &SerialPort::device_lost);
        rig.board.close();
        QTRY_COMPARE_WITH_TIMEOUT(lost.count(), 1, Patience);
        QVERIFY(!rig.port.is_open());
        const QString message = lost.at(0).at(0).toString();
        QVERIFY2(message.contains(QStringLiteral("串口 1")) && message.contains(device),
                 qPrintable(message));
        // The dead descriptor must not keep reporting.
        QTest::qWait(500);
        QCOMPARE(lost.count(), 1);

        // The device is back, on another tty behind the same link.
        QVERIFY(rig.plug());
        QVERIFY2(rig.port.open(QStringLiteral("1")), qPrintable(rig.port.error_text()));
        QSignalSpy groups(&rig.port, &SerialPort::group_received);
        rig.port.write_frame(frame_from_hex(StatusQuery));
        QCOMPARE(hex_of(rig.line_read(8)), QString(StatusQuery));
        QVERIFY(rig.board.write(bytes_of(ReplyA)));
        QTRY_COMPARE_WITH_TIMEOUT(groups.count(), 1, Patience);
    }

    void closingAndReopeningKeepsTheLine() {
        Rig rig;
        QVERIFY(rig.plug());
        QSignalSpy lost(&rig.port, &SerialPort::device_lost);
        for (int session = 0; session < 3; ++session) {
            QVERIFY2(rig.port.open(QStringLiteral("1")), qPrintable(rig.port.error_text()));
            rig.port.write_frame(frame_from_hex(StatusQuery));
            QCOMPARE(hex_of(rig.line_read(8)), QString(StatusQuery));
            rig.port.close();
        }
        QCOMPARE(lost.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestQtSerialPort)
#include "test_qt_serial_port.moc"
