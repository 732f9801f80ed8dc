#include "board_process.h"
#include "panel_on_line.h"

#include <QFileInfo>
#include <QTimer>
#include <QtTest>

#include <csignal>

using namespace relay;
using relay::testing::BoardProcess;
using relay::testing::LookAudit;
using relay::testing::PanelOnLine;

namespace {

constexpr int Patience = 10000;
constexpr std::uint16_t BoardState = 0x0A5F;
const QString BoardStateText = QStringLiteral("0A5F");
// Past the watchdog's five ticks, with room to spare.
constexpr int FaultTicks = 8;

QStringList two_boards(std::uint16_t state) {
    return {QStringLiteral("--boards"), QStringLiteral("1,2"), QStringLiteral("--state"),
            LookAudit::hex4(state)};
}

}  // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void faultyLineNeverPaintsAWrongStateAndCleanLineRecovers_data() {
        QTest::addColumn<QStringList>("faults");
        // Some replies pass unharmed, so the true state shows during the faults.
        QTest::addColumn<bool>("clean_between");
        // Harmed groups that must reach the panel, to show the fault was there.
        QTest::addColumn<int>("bad_groups");
        // A harmed reply spoils only its own group: at most this many groups
        // in a row are rejected (-1: every reply is harmed).
        QTest::addColumn<int>("spoiled_run");
        QTest::newRow("every reply dropped") << QStringList{"--drop", "1"} << false << 0 << -1;
        QTest::newRow("every second reply dropped") << QStringList{"--drop", "2"} << true << 0 << 0;
        QTest::newRow("every checksum corrupted")
            << QStringList{"--corrupt", "1"} << false << 4 << -1;
        QTest::newRow("every third checksum corrupted")
            << QStringList{"--corrupt", "3"} << true << 2 << 1;
        QTest::newRow("every reply split")
            << QStringList{"--split", "1", "--split-gap", "40"} << true << 0 << 0;
        QTest::newRow("stray byte before every reply")
            << QStringList{"--noise", "1"} << false << 4 << -1;
        QTest::newRow("stray byte before every third reply")
            << QStringList{"--noise", "3"} << true << 2 << 1;
        QTest::newRow("replies later than the next tick")
            << QStringList{"--delay", "290"} << true << 0 << 0;
        // Corrupted 4th and stray-byte 7th replies meet, around the drops.
        QTest::newRow("all faults at once")
            << QStringList{"--drop", "5",       "--corrupt", "4",       "--split",
                           "3",      "--noise", "7",         "--delay", "90"}
            << true << 2 << 2;
    }
    void faultyLineNeverPaintsAWrongStateAndCleanLineRecovers() {
        QFETCH(QStringList, faults);
        QFETCH(bool, clean_between);
        QFETCH(int, bad_groups);
        QFETCH(int, spoiled_run);
        PanelOnLine panel;
        LookAudit& audit = panel.m_audit;
        audit.expect(1,
                     clean_between ? QVector<std::uint16_t>{BoardState} : QVector<std::uint16_t>{});
        BoardProcess board(panel.link());
        QVERIFY(board.start(two_boards(BoardState) + faults));
        panel.click("open_comm");
        QVERIFY2(panel.port_open(), qPrintable(panel.m_messages.texts().join('\n')));

        const int start = audit.ticks();
        QTRY_VERIFY2_WITH_TIMEOUT(
            audit.ticks() >= start + FaultTicks && audit.rejected() >= bad_groups,
            qPrintable(audit.summary()), Patience);
        QVERIFY2(audit.violations().isEmpty(), qPrintable(audit.summary()));
        if (clean_between) {
            QTRY_COMPARE_WITH_TIMEOUT(audit.shown(), BoardStateText, Patience);
            QVERIFY2(audit.longest_rejected_run() <= spoiled_run, qPrintable(audit.summary()));
        } else {
            QCOMPARE(audit.shown(), QStringLiteral("unknown"));
            QCOMPARE(audit.applied(), 0);
        }
        QVERIFY2(audit.violations().isEmpty(), qPrintable(audit.summary()));

        // The line turns clean: the operator closes the port, a sound board
        // takes the faulty one's place, and the operator opens the port again.
        panel.click("open_comm");
        QVERIFY(panel.shows_port_closed());
        board.stop();
        audit.expect(1, {BoardState});
        QVERIFY(board.start(two_boards(BoardState)));
        panel.click("open_comm");
        QVERIFY(panel.port_open());
        QTRY_COMPARE_WITH_TIMEOUT(audit.shown(), BoardStateText, Patience);
        QVERIFY2(audit.violations().isEmpty(), qPrintable(audit.summary()));
        QCOMPARE(panel.m_messages.texts(), QStringList{});
    }

    void replyOfThePreviousAddressNeverPaints_data() {
        QTest::addColumn<QStringList>("faults");
        QTest::newRow("clean line") << QStringList{};
        QTest::newRow("late, split and harmed replies")
            << QStringList{"--delay", "290", "--split", "2", "--corrupt", "5", "--noise", "7"};
    }
    void replyOfThePreviousAddressNeverPaints() {
        QFETCH(QStringList, faults);
        PanelOnLine panel;
        LookAudit& audit = panel.m_audit;
        audit.expect(1, {BoardState});
        audit.expect(2, {BoardState, 0x0000});
        BoardProcess board(panel.link());
        QVERIFY(board.start(two_boards(BoardState) + faults));
        panel.click("open_comm");
        QTRY_COMPARE_WITH_TIMEOUT(audit.shown(), BoardStateText, Patience);

        // Board 2 is made to differ from board 1.
        panel.select_address("2");
        panel.click("closeall");
        QTRY_COMPARE_WITH_TIMEOUT(audit.shown(), QStringLiteral("0000"), Patience);
        audit.expect(2, {0x0000});
        panel.select_address("1");
        QTRY_COMPARE_WITH_TIMEOUT(audit.shown(), BoardStateText, Patience);

        // One status query goes to board 2 and the address returns to 1 right
        // after it, so board 2's answer arrives while board 1's state shows.
        QObject flipper;
        bool armed = false;
        int flips = 0;
        connect(panel.find<QTimer>("Timer1"), &QTimer::timeout, &flipper, [&] {
            if (armed) {
                armed = false;
                panel.select_address("1");
                ++flips;
            }
        });
        constexpr int Wanted = 3;
        for (int round = 1; round <= 12 && audit.telling_foreign() < Wanted; ++round) {
            panel.select_address("2");
            armed = true;
            QTRY_COMPARE_WITH_TIMEOUT(flips, round, Patience);
            // Past the late answer, and board 1 answered again.
            const int ticks = audit.ticks();
            QTRY_VERIFY_WITH_TIMEOUT(audit.ticks() >= ticks + 3, Patience);
        }
        QVERIFY2(audit.telling_foreign() >= Wanted, qPrintable(audit.summary()));
        QTRY_COMPARE_WITH_TIMEOUT(audit.shown(), BoardStateText, Patience);
        QVERIFY2(audit.violations().isEmpty(), qPrintable(audit.summary()));
        QCOMPARE(panel.m_messages.texts(), QStringList{});
    }

    void silentBoardTurnsUnknownAndSpeakingAgainShowsTrueState() {
        PanelOnLine panel;
        LookAudit& audit = panel.m_audit;
        audit.expect(1, {});
        BoardProcess board(panel.link());
        QVERIFY(board.start(two_boards(BoardState) + QStringList{"--silent"}));
        panel.click("open_comm");
        const int start = audit.ticks();
        QTRY_VERIFY_WITH_TIMEOUT(audit.ticks() >= start + FaultTicks, Patience);
        QCOMPARE(audit.shown(), QStringLiteral("unknown"));

        audit.expect(1, {BoardState});
        board.send_signal(SIGUSR1);
        QTRY_COMPARE_WITH_TIMEOUT(audit.shown(), BoardStateText, Patience);

        // Falls silent: the watchdog runs out and every channel turns yellow.
        board.send_signal(SIGUSR1);
        QTRY_COMPARE_WITH_TIMEOUT(audit.shown(), QStringLiteral("unknown"), Patience);
        QVERIFY(panel.port_open());
        board.send_signal(SIGUSR1);
        QTRY_COMPARE_WITH_TIMEOUT(audit.shown(), BoardStateText, Patience);
        QVERIFY2(audit.violations().isEmpty(), qPrintable(audit.summary()));
        QCOMPARE(panel.m_messages.texts(), QStringList{});
    }

    void vanishedBoardClosesThePortOnceAndReturningBoardOpensAgain_data() {
        QTest::addColumn<int>("signal_number");
        // A new board takes the link before the panel has noticed the loss.
        QTest::addColumn<bool>("back_at_once");
        QTest::newRow("board ends") << int(SIGTERM) << false;
        QTest::newRow("board killed") << int(SIGKILL) << false;
        QTest::newRow("board killed and back at once") << int(SIGKILL) << true;
    }
    void vanishedBoardClosesThePortOnceAndReturningBoardOpensAgain() {
        QFETCH(int, signal_number);
        QFETCH(bool, back_at_once);
        PanelOnLine panel;
        LookAudit& audit = panel.m_audit;
        audit.expect(1, {BoardState});
        BoardProcess board(panel.link());
        QVERIFY(board.start(two_boards(BoardState)));
        panel.click("open_comm");
        QTRY_COMPARE_WITH_TIMEOUT(audit.shown(), BoardStateText, Patience);

        board.send_signal(signal_number);
        QVERIFY(board.wait_finished());
        if (back_at_once) {
            QVERIFY(board.start(two_boards(0xC3A5)));
        }
        QTRY_VERIFY2_WITH_TIMEOUT(panel.shows_port_closed(), qPrintable(audit.summary()), Patience);
        QVERIFY(!panel.port_open());
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_messages.count(), 1, Patience);
        // Later hang-up checks and events must not say it again.
        QTest::qWait(800);
        QCOMPARE(panel.m_messages.count(), 1);
        QVERIFY(panel.shows_port_closed());

        // An orderly end removes the link; a killed board leaves it dangling,
        // and the dangling link still names the port: no other device is tried.
        if (!back_at_once) {
            const bool dangling = signal_number == SIGKILL;
            QCOMPARE(QFileInfo(panel.link()).isSymLink(), dangling);
            if (dangling) {
                panel.click("open_comm");
                QVERIFY(!panel.port_open());
                QVERIFY(panel.shows_port_closed());
                QCOMPARE(panel.m_messages.count(), 2);
            }
            QVERIFY(board.start(two_boards(0xC3A5)));
        }
        const int messages = panel.m_messages.count();

        audit.expect(1, {0xC3A5});
        panel.click("open_comm");
        QVERIFY(panel.port_open());
        QCOMPARE(panel.caption(), QStringLiteral("关闭串口"));
        QTRY_COMPARE_WITH_TIMEOUT(audit.shown(), QStringLiteral("C3A5"), Patience);
        QCOMPARE(panel.m_messages.count(), messages);
        QVERIFY2(audit.violations().isEmpty(), qPrintable(audit.summary()));
    }

    void clickSwitchesTheRealBoardAndLeavesTheOtherOne_data() {
        QTest::addColumn<QString>("control");
        QTest::addColumn<int>("switched");
        QTest::newRow("energised channel 1, its box") << "Picture1(1)" << 0x0A5E;
        QTest::newRow("released channel 6, its label") << "Label2(6)" << 0x0A7F;
        QTest::newRow("released channel 16, its box") << "Picture1(16)" << 0x8A5F;
        QTest::newRow("energise all") << "openall" << 0xFFFF;
        QTest::newRow("release all") << "closeall" << 0x0000;
    }
    void clickSwitchesTheRealBoardAndLeavesTheOtherOne() {
        QFETCH(QString, control);
        QFETCH(int, switched);
        const auto after = static_cast<std::uint16_t>(switched);
        PanelOnLine panel;
        LookAudit& audit = panel.m_audit;
        audit.expect(1, {BoardState});
        audit.expect(2, {BoardState});
        BoardProcess board(panel.link());
        QVERIFY(board.start(two_boards(BoardState)));
        panel.click("open_comm");
        QTRY_COMPARE_WITH_TIMEOUT(audit.shown(), BoardStateText, Patience);

        // Until the command's reply, either state may be reported.
        audit.expect(1, {BoardState, after});
        panel.click(control);
        QTRY_COMPARE_WITH_TIMEOUT(audit.shown(), LookAudit::hex4(after), Patience);
        audit.expect(1, {after});
        const int ticks = audit.ticks();
        QTRY_VERIFY_WITH_TIMEOUT(audit.ticks() >= ticks + 3, Patience);
        QCOMPARE(audit.shown(), LookAudit::hex4(after));

        panel.select_address("2");
        QTRY_COMPARE_WITH_TIMEOUT(audit.shown(), BoardStateText, Patience);
        QVERIFY2(audit.violations().isEmpty(), qPrintable(audit.summary()));
        QCOMPARE(panel.m_messages.texts(), QStringList{});
    }
};

QTEST_MAIN(TestEndToEnd)
#include "test_end_to_end.moc"
