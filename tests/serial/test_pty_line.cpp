#include "serial/board_terminal.h"
#include "serial/qt_serial_port.h"
#include "support/frame_bytes.h"
#include "support/processes.h"
#include "tools/sim_options.h"
#include "tools/virtual_line.h"

#include <QSignalSpy>
#include <QtTest>

#include "support/table.h"

using namespace relay;
using relay::testing::frame_from_hex;
using relay::testing::row;

namespace {

constexpr int Patience = 5000;
const char* const Status = "5501100000000066";
const char* const ReplyA = "22011000000a5f9c";
const char* const ReplyB = "2201100000000538";
// Status, then energise channel 1: replies that differ.
const char* const Two = "5501100000000066 5501120000000169";
const char* const Four = "5501100000000066 5501120000000169 5501100000000066 5501120000000169";

// A panel port and a board end on a fresh pseudo-terminal behind a com1 link.
struct Rig {
    QTemporaryDir dir;
    BoardTerminal board;
    QtSerialPort port;
    QByteArray groups;  // every group the port handed over

    Rig() {
        port.set_link_directory(dir.path());
        QObject::connect(&port, &SerialPort::group_received, &port, [this](const Frame& f) {
            groups += QByteArray(reinterpret_cast<const char*>(f.data()), 8);
        });
    }

    bool plug() {
        QString error;
        QFile::remove(dir.filePath("com1"));
        return board.open_pty(&error) && QFile::link(board.tty_path(), dir.filePath("com1")) &&
               port.open("1");
    }
    QByteArray line_read(int count) {
        QByteArray got;
        // On a timeout the caller's comparison shows what did come.
        static_cast<void>(QTest::qWaitFor(
            [&] { return (got += board.read_available()).size() >= count; }, Patience));
        return got;
    }
    // Without the event loop, so the port has not read them yet.
    bool queued_for_panel(int count) {
        const QDeadlineTimer deadline(Patience);
        while (board.unread_by_panel() < count && !deadline.hasExpired()) {
            QThread::usleep(500);
        }
        return board.unread_by_panel() >= count;
    }
};

}  // namespace

class TestPtyLine : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The boards the sim program makes from args.
    void boardsAnswerOnTheLine_data() {
        QTest::addColumn<QString>("args");
        QTest::addColumn<QString>("in");
        QTest::addColumn<QString>("out");
        row("status", "--state 0A5F", Status, ReplyA);
        row("0x11 releases one", "--state 0003", "5501110000000168", "2201110000000236");
        row("0x12 energises one", "", "5501120000001078", "22011200008000b5");
        row("0x13 FF FF energises all", "", "5501130000ffff67", "2201130000ffff34");
        row("0x13 00 00 releases all", "--state FFFF", "5501130000000069", "2201130000000036");
        row("read address at 0xF5", "--address 9", "55f540000000008a", "220940000000006b");
        row("write address at 0xF5", "", "55f5410000000792 550710000000006c",
            "220741000000006a 2207100000000039");
        row("other address, bad checksum", "", "5502100000000067 5501100000000067", "");
        row("boards 1,2: only 2 answers", "--boards 1,2", "5502100000000067", "2202100000000034");
        row("drop every 2nd", "--drop 2", Four, "2201100000000033 2201100000000134");
        row("corrupt 2nd", "--corrupt 2", Two, "2201100000000033 22011200000001c9");
        row("noise before 2nd", "--noise 2", Two, "2201100000000033 002201120000000136");
        row("split 2nd, delayed", "--split 2 --delay 100 --split-gap 30", Two,
            "+100 2201100000000033 +100 220112 +130 0000000136");
        row("silent", "--silent", Two, "");
    }
    void boardsAnswerOnTheLine() {
        QFETCH(QString, args);
        QFETCH(QString, in);
        QFETCH(QString, out);
        QString error;
        auto options = parse_sim_options(("sim " + args).split(' ', Qt::SkipEmptyParts), &error);
        std::vector<VirtualBoard> boards;
        for (const auto address : options.value().addresses) {
            boards.emplace_back(address, options->channels);
        }
        VirtualLine line(boards, options->faults);
        QStringList writes;
        for (const QString& arrival : in.split(' ')) {
            for (const auto& w : line.receive(QByteArray::fromHex(arrival.toLatin1()), 0).writes) {
                writes << (w.delay_ms ? QString("+%1 ").arg(w.delay_ms) : "") + w.bytes.toHex();
            }
        }
        QCOMPARE(writes.join(' '), out);
    }

    void simOptionsPaceTheLine_data() {
        QTest::addColumn<QString>("args");
        QTest::addColumn<QString>("parsed");  // line time, turnaround; or refused
        row("neither", "", "0 0");
        row("line time", "--line-time", "1 0");
        row("both", "--line-time --turnaround 30", "1 30");
        row("turnaround of a minute", "--turnaround 60000", "0 60000");
        row("negative turnaround", "--turnaround -1", "refused");
        row("turnaround with a unit", "--turnaround 5ms", "refused");
        row("turnaround over a minute", "--turnaround 60001", "refused");
        row("line time takes no value", "--line-time=1", "refused");
    }
    void simOptionsPaceTheLine() {
        QFETCH(QString, args);
        QFETCH(QString, parsed);
        QString error;
        const auto options =
            parse_sim_options(("sim " + args).split(' ', Qt::SkipEmptyParts), &error);
        QCOMPARE(options ? QString("%1 %2").arg(int(options->line_time)).arg(options->turnaround_ms)
                         : "refused",
                 parsed);
        // A refusal names the option it refuses.
        const QString option = args.split(QRegularExpression("[ =]")).front();
        QVERIFY2(options || error.contains(option), qPrintable(error));
    }

    void replyToTheFrameIsReadFromItsFirstByte_data() {
        // The stale byte: read by the port already, or still in the driver.
        QTest::addColumn<bool>("taken_in");
        row("stale byte read by the port", true);
        row("stale byte still in the driver", false);
    }
    void replyToTheFrameIsReadFromItsFirstByte() {
        QFETCH(bool, taken_in);
        Rig rig;
        QVERIFY(rig.plug());
        QVERIFY(rig.board.write("\x9c"));
        if (taken_in) {
            QTRY_COMPARE_WITH_TIMEOUT(rig.port.bytes_waiting(), qint64(1), Patience);
        }
        QVERIFY(rig.queued_for_panel(taken_in ? 0 : 1));
        rig.port.write_frame(frame_from_hex(Status));
        QCOMPARE(rig.line_read(8), QByteArray::fromHex(Status));
        // Sixteen bytes at once give one group; the next arrival gives the next.
        const QByteArray replies = QByteArray::fromHex(ReplyA) + QByteArray::fromHex(ReplyB);
        QVERIFY(rig.board.write(replies));
        QVERIFY(rig.queued_for_panel(16));
        QTRY_COMPARE_WITH_TIMEOUT(rig.groups, replies.left(8), Patience);
        QVERIFY(rig.board.write("\x01"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.groups, replies, Patience);
    }

    void failedOpeningStaysClosedAndSaysWhy_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("mentions");
        row("letters", "abc", "abc");
        row("beyond 16 bits", "70000", "70000");
        row("no device for the number", "32000", "串口 32000");
        row("com1 link to a missing device", "1", "/nonexistent/ttyUSB9");
    }
    void failedOpeningStaysClosedAndSaysWhy() {
        QFETCH(QString, text);
        QFETCH(QString, mentions);
        Rig rig;
        QVERIFY(QFile::link("/nonexistent/ttyUSB9", rig.dir.filePath("com1")));
        QVERIFY(!rig.port.open(text));
        QVERIFY(!rig.port.is_open());
        QVERIFY2(rig.port.error_text().contains(mentions), qPrintable(rig.port.error_text()));
    }

    void vanishedDeviceClosesThePortOnceAndReopensWhenBack() {
        Rig rig;
        QVERIFY(rig.plug());
        QSignalSpy lost(&rig.port, &SerialPort::device_lost);
        rig.board.close();
        QTRY_COMPARE_WITH_TIMEOUT(lost.count(), 1, Patience);
        QVERIFY(!rig.port.is_open());
        QVERIFY(lost.at(0).at(0).toString().contains("串口 1"));
        // The dead descriptor must not keep reporting.
        QTest::qWait(500);
        QCOMPARE(lost.count(), 1);
        // A closed port does not even try to write.
        QTest::failOnWarning(QRegularExpression("not open"));
        rig.port.write_frame(frame_from_hex(Status));
        QVERIFY2(rig.plug(), qPrintable(rig.port.error_text()));
        rig.port.write_frame(frame_from_hex(Status));
        QCOMPARE(rig.line_read(8), QByteArray::fromHex(Status));
    }

    void simProgramAnswersThroughItsLinkAndRemovesItOnSigterm_data() {
        QTest::addColumn<QString>("args");
        row("at once", "");
        row("turnaround only", "--turnaround 30");
        row("line time and turnaround", "--line-time --turnaround 30");
    }
    void simProgramAnswersThroughItsLinkAndRemovesItOnSigterm() {
        QFETCH(QString, args);
        Rig rig;
        const QString link = rig.dir.filePath("com1");
        testing::VirtualBoard sim;
        QVERIFY(
            sim.start(QStringList{"--state", "0A5F"} + args.split(' ', Qt::SkipEmptyParts), link));
        QCOMPARE(QFileInfo(link).symLinkTarget(), sim.tty());
        QVERIFY2(rig.port.open("1"), qPrintable(rig.port.error_text()));
        rig.port.write_frame(frame_from_hex(Status));
        QTRY_COMPARE_WITH_TIMEOUT(rig.groups, QByteArray::fromHex(ReplyA), Patience);
        QCOMPARE(sim.stop(), 0);
        QVERIFY(!QFileInfo(link).isSymLink());
    }
};

QTEST_GUILESS_MAIN(TestPtyLine)
#include "test_pty_line.moc"
