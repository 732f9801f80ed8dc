#include "panel_on_line.h"
#include "support/mosquitto_broker.h"

#include <QTimer>
#include <QtTest>

#include <csignal>
#include <memory>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace relay::testing;
using States = QVector<std::uint16_t>;

namespace {
constexpr std::uint16_t State = 0x0A5F;
const QString StateText = QStringLiteral("0A5F");
// No broker is needed for the panel's cases; relayd keeps retrying quietly.
const QStringList NoBroker{"--broker", "mqtt://127.0.0.1:1", "--node-id", "e2e"};
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
        panel.m_board.stop();
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

        panel.m_board.signal(signal_number);
        QVERIFY(panel.m_board.finish());
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
        QTest::addColumn<bool>("shared");  // the boards behind relayd, the panel on its port
        for (const bool shared : {false, true}) {
            const char* const on = shared ? "shared port" : "own line";
            QTest::addRow("energised channel 1, its box, %s", on)
                << "Picture1(1)" << 0x0A5E << shared;
            QTest::addRow("released channel 16, its label, %s", on)
                << "Label2(16)" << 0x8A5F << shared;
            QTest::addRow("energise all, %s", on) << "openall" << 0xFFFF << shared;
            QTest::addRow("release all, %s", on) << "closeall" << 0x0000 << shared;
        }
    }
    void clickSwitchesTheRealBoardAndLeavesTheOtherOne() {
        QFETCH(QString, control);
        QFETCH(int, switched);
        QFETCH(bool, shared);
        if (shared) {
            m_panel->share_through_relayd(NoBroker);
        }
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

    // On a shared port of relayd, the boards behind relayd's line: the panel
    // must see what it sees on a line of its own.
    void addressServiceReachesTheSingleBoard() {
        PanelOnLine& panel = *m_panel;
        panel.share_through_relayd(NoBroker);
        panel.m_audit.expect(1, {State});
        panel.m_audit.expect(7, {State});
        QVERIFY(panel.start_boards(State, {}, {"1"}));
        panel.click("open_comm");
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), StateText, Patience);
        // Written at 7, a board relayd does not serve: its queries go to the line.
        panel.select_address("7");
        panel.click("Command1");
        QVERIFY(panel.m_board.wait_output("out 22 07 10"));
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), StateText, Patience);
        panel.select_address("3");
        panel.click("Command2");  // read: the board says 7, and the panel follows
        QTRY_COMPARE_WITH_TIMEOUT(panel.find<QLineEdit>("add")->text(), QStringLiteral("7"),
                                  Patience);
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), StateText, Patience);
    }

    void silenceTurnsItYellowAndReturnShowsTheStateAgain() {
        PanelOnLine& panel = *m_panel;
        panel.share_through_relayd(NoBroker);
        panel.m_audit.expect(1, {State});
        QVERIFY(panel.open_on_boards(State));
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), StateText, Patience);
        panel.m_board.signal(SIGUSR1);
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), QStringLiteral("unknown"), Patience);
        panel.m_board.signal(SIGUSR1);
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), StateText, Patience);
    }

    void closingAndReopeningThePortLeavesTheBridgeServing() {
        PanelOnLine& panel = *m_panel;
        panel.share_through_relayd(NoBroker);
        panel.m_audit.expect(1, {State});
        QVERIFY(panel.open_on_boards(State));
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), StateText, Patience);
        for (int round = 0; round < 3; ++round) {
            panel.click("open_comm");
            QVERIFY(panel.shows_port_closed());
            panel.click("open_comm");
            QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), StateText, Patience);
        }
        QVERIFY(panel.m_relayd.running());
    }

    void aProgramKilledOnItsPortLeavesThePortFreeForTheNext() {
        PanelOnLine& panel = *m_panel;
        panel.share_through_relayd(NoBroker);
        panel.m_audit.expect(1, {State});
        QVERIFY(panel.open_on_boards(State));
        const QString relayctl = panel.m_line_dir.copy("relayctl");
        Process watch(QProcess::SeparateChannels);
        QVERIFY(watch.start(relayctl, {"-p", "2", "watch"}));
        QVERIFY(watch.wait_output("\n"));  // it polls
        watch.stop(SIGKILL);               // with the port open and reserved (exclusive mode)
        const QByteArray tty = QFile::symLinkTarget(panel.m_line_dir.path("com2")).toLocal8Bit();
        const int fd = ::open(tty.constData(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0);
        int exclusive = 1;
        QVERIFY(QTest::qWaitFor(
            [&] { return ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive == 0; }, Patience));
        ::close(fd);
        QCOMPARE(run(relayctl, {"-p", "2", "status"}).exit_code, 0);
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), StateText, Patience);  // unharmed
    }

    void panelRelayctlAndMqttSwitchOneBoardAtOnce() {
        MosquittoBroker broker;
        QVERIFY(broker.start());
        PanelOnLine& panel = *m_panel;
        panel.share_through_relayd({"--broker", broker.url(), "--node-id", "e2e"});
        // relayctl finds port 2 as com2 beside itself.
        const QString relayctl = panel.m_line_dir.copy("relayctl");
        constexpr std::uint16_t Done = State | 0x8000 | 0x4000 | 0x0020;
        States all;
        for (std::uint16_t extra = 0; extra < 8; ++extra) {
            all << std::uint16_t(State | ((extra & 1) ? 0x8000 : 0) | ((extra & 2) ? 0x4000 : 0) |
                                 ((extra & 4) ? 0x0020 : 0));
        }
        panel.m_audit.expect(1, all);
        QVERIFY(panel.open_on_boards(State));
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), StateText, Patience);
        TopicRecorder state(broker, "relay/e2e/1/15/state");
        QVERIFY(state.wait_for("OFF$"));

        Process cli;
        QVERIFY(cli.start(relayctl, {"-p", "2", "on", "16"}));
        QVERIFY(broker.publish("relay/e2e/1/15/set", "ON", false));
        panel.click("Picture1(6)");
        QVERIFY(cli.finish());
        QCOMPARE(cli.exit_code(), 0);
        QVERIFY(state.wait_for("ON$"));
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), LookAudit::hex4(Done), Patience);
        QCOMPARE(run(relayctl, {"-p", "2", "status"}).exit_code, 0);
    }
};

QTEST_MAIN(TestEndToEnd)
#include "test_end_to_end.moc"
