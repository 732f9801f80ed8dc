#include "panel_on_line.h"

#include <QTimer>
#include <QtTest>

#include <csignal>
#include <memory>

using relay::testing::LookAudit;
using relay::testing::PanelOnLine;
using relay::testing::Patience;
using States = QVector<std::uint16_t>;

namespace {
constexpr std::uint16_t State = 0x0A5F;
const QString StateText = QStringLiteral("0A5F");
}  // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT
    std::unique_ptr<PanelOnLine> m_panel;

private Q_SLOTS:
    void init() { m_panel = std::make_unique<PanelOnLine>(); }
    // The panel goes after the verdict, so that a failure prints the board's log.
    void cleanup() {
        const auto panel = std::move(m_panel);
        QVERIFY2(panel->m_audit.violations().isEmpty(), qPrintable(panel->m_audit.summary()));
    }

    void faultyLineOfTwoBoardsNeverPaintsAWrongStateAndCleanLineShowsTheTrueOne_data() {
        QTest::addColumn<QStringList>("faults");
        // Some replies pass unharmed, so board 1's state shows during the faults.
        QTest::addColumn<bool>("some_pass");
        QTest::newRow("every second reply dropped") << QStringList{"--drop", "2"} << true;
        QTest::newRow("every checksum corrupted") << QStringList{"--corrupt", "1"} << false;
        QTest::newRow("every reply split")
            << QStringList{"--split", "1", "--split-gap", "40"} << true;
        QTest::newRow("stray byte before every reply") << QStringList{"--noise", "1"} << false;
        QTest::newRow("replies later than the next tick") << QStringList{"--delay", "290"} << true;
        QTest::newRow("all faults at once")
            << QStringList{"--drop", "5",       "--corrupt", "4",       "--split",
                           "3",      "--noise", "7",         "--delay", "90"}
            << true;
    }
    void faultyLineOfTwoBoardsNeverPaintsAWrongStateAndCleanLineShowsTheTrueOne() {
        QFETCH(QStringList, faults);
        QFETCH(bool, some_pass);
        PanelOnLine& panel = *m_panel;
        LookAudit& audit = panel.m_audit;
        audit.expect(1, some_pass ? States{State} : States{});
        audit.expect(2, some_pass ? States{State, 0x0000} : States{});
        QVERIFY(panel.open_on_boards(State, faults));
        // Board 2 is released all over; its command is heard whatever befalls the reply.
        panel.select_address("2");
        panel.click("closeall");
        QVERIFY(audit.wait_ticks(2));
        panel.select_address("1");
        QTRY_COMPARE_WITH_TIMEOUT(audit.shown(), some_pass ? StateText : "unknown", Patience);

        // A status query goes to board 2 and the address returns to 1 right
        // after it, so board 2's answer arrives while board 1 is selected.
        bool armed = false;
        QObject flipper;
        connect(panel.find<QTimer>("Timer1"), &QTimer::timeout, &flipper, [&] {
            if (armed) {
                armed = false;
                panel.select_address("1");
            }
        });
        const int wanted = some_pass ? 2 : 0;
        for (int round = 1; round <= 10 && (round <= 2 || audit.telling_foreign() < wanted);
             ++round) {
            panel.select_address("2");
            armed = true;
            QTRY_VERIFY_WITH_TIMEOUT(!armed, Patience);
            // Past the late answer; rounds of three ticks meet every count of the faults.
            QVERIFY(audit.wait_ticks(2));
        }
        QVERIFY2(audit.telling_foreign() >= wanted, qPrintable(audit.summary()));

        // The operator closes the port, a sound board takes the faulty one's
        // place, and the operator opens the port again.
        panel.click("open_comm");
        QVERIFY(panel.shows_port_closed());
        panel.stop_boards();
        audit.expect(1, {State});
        QVERIFY(panel.open_on_boards(State));
        QTRY_COMPARE_WITH_TIMEOUT(audit.shown(), StateText, Patience);
        QCOMPARE(panel.m_messages.texts(), QStringList{});
    }

    void vanishedBoardClosesThePortWithOneMessageAndReturningBoardOpensAgain_data() {
        QTest::addColumn<int>("signal_number");
        // A new board takes the link before the panel has noticed the loss.
        QTest::addColumn<bool>("back_at_once");
        QTest::newRow("board ends") << int(SIGTERM) << false;
        QTest::newRow("board killed and back at once") << int(SIGKILL) << true;
    }
    void vanishedBoardClosesThePortWithOneMessageAndReturningBoardOpensAgain() {
        QFETCH(int, signal_number);
        QFETCH(bool, back_at_once);
        PanelOnLine& panel = *m_panel;
        panel.m_audit.expect(1, {State});
        QVERIFY(panel.open_on_boards(State));
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), StateText, Patience);

        panel.signal_boards(signal_number);
        QVERIFY(panel.m_board.waitForFinished(Patience));
        QVERIFY(!back_at_once || panel.start_boards(0xC3A5));
        QTRY_VERIFY2_WITH_TIMEOUT(panel.shows_port_closed(), qPrintable(panel.m_audit.summary()),
                                  Patience);
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_messages.count(), 1, Patience);
        // Later hang-up checks and events must not say it again.
        QTest::qWait(600);
        QCOMPARE(panel.m_messages.count(), 1);

        QVERIFY(back_at_once || panel.start_boards(0xC3A5));
        panel.m_audit.expect(1, {0xC3A5});
        panel.click("open_comm");
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), QStringLiteral("C3A5"), Patience);
        QCOMPARE(panel.m_messages.count(), 1);
    }

    void clickSwitchesTheRealBoardAndLeavesTheOtherOne_data() {
        QTest::addColumn<QString>("control");
        QTest::addColumn<int>("switched");
        QTest::newRow("energised channel 1, its box") << "Picture1(1)" << 0x0A5E;
        QTest::newRow("released channel 16, its label") << "Label2(16)" << 0x8A5F;
        QTest::newRow("energise all") << "openall" << 0xFFFF;
        QTest::newRow("release all") << "closeall" << 0x0000;
    }
    void clickSwitchesTheRealBoardAndLeavesTheOtherOne() {
        QFETCH(QString, control);
        QFETCH(int, switched);
        LookAudit& audit = m_panel->m_audit;
        audit.expect(2, {State});
        audit.expect(1, {State});
        QVERIFY(m_panel->open_on_boards(State));
        QTRY_COMPARE_WITH_TIMEOUT(audit.shown(), StateText, Patience);

        // Until the command's reply, either state may be reported.
        audit.expect(1, {State, std::uint16_t(switched)});
        m_panel->click(control);
        QTRY_COMPARE_WITH_TIMEOUT(audit.shown(), LookAudit::hex4(switched), Patience);
        m_panel->select_address("2");
        QTRY_COMPARE_WITH_TIMEOUT(audit.shown(), StateText, Patience);
        QCOMPARE(m_panel->m_messages.texts(), QStringList{});
    }
};

QTEST_MAIN(TestEndToEnd)
#include "test_end_to_end.moc"
