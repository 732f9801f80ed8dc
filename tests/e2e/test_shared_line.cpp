#include "panel_on_line.h"
#include "support/mosquitto_broker.h"

#include <QtTest>

#include <csignal>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <memory>

using relay::testing::LookAudit;
using relay::testing::MosquittoBroker;
using relay::testing::PanelOnLine;
using relay::testing::Patience;
using relay::testing::TopicRecorder;
using States = QVector<std::uint16_t>;

namespace {
constexpr std::uint16_t State = 0x0A5F;
const QString StateText = QStringLiteral("0A5F");
// No broker is needed for the panel's cases; relayd keeps retrying quietly.
const QStringList NoBroker{"--broker", "mqtt://127.0.0.1:1", "--node-id", "e2e"};
}  // namespace

// The panel on a shared port of relayd, the virtual board behind relayd's
// line: the panel must see what it sees on a line of its own.
class TestSharedLine : public QObject {
    Q_OBJECT
    std::unique_ptr<PanelOnLine> m_panel;

private Q_SLOTS:
    void init() {
        m_panel = std::make_unique<PanelOnLine>();
        m_panel->share_through_relayd(NoBroker);
    }
    void cleanup() {
        const auto panel = std::move(m_panel);
        QVERIFY2(panel->m_audit.violations().isEmpty(), qPrintable(panel->m_audit.summary()));
    }

    void clicksSwitchTheBoardBehindTheSharer_data() {
        QTest::addColumn<QString>("control");
        QTest::addColumn<int>("switched");
        QTest::newRow("toggle channel 1") << "Picture1(1)" << 0x0A5E;
        QTest::newRow("toggle channel 16 by its label") << "Label2(16)" << 0x8A5F;
        QTest::newRow("energise all") << "openall" << 0xFFFF;
        QTest::newRow("release all") << "closeall" << 0x0000;
    }
    void clicksSwitchTheBoardBehindTheSharer() {
        QFETCH(QString, control);
        QFETCH(int, switched);
        PanelOnLine& panel = *m_panel;
        panel.m_audit.expect(2, {State});
        panel.m_audit.expect(1, {State});
        QVERIFY(panel.open_on_boards(State));
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), StateText, Patience);
        panel.m_audit.expect(1, {State, std::uint16_t(switched)});
        panel.click(control);
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), LookAudit::hex4(switched), Patience);
        panel.select_address("2");
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), StateText, Patience);
        QCOMPARE(panel.m_messages.texts(), QStringList{});
    }

    void addressServiceReachesTheSingleBoard() {
        PanelOnLine& panel = *m_panel;
        panel.m_audit.expect(1, {State});
        panel.m_audit.expect(7, {State});
        QVERIFY(panel.start_boards(State, {}, {"1"}));
        panel.click("open_comm");
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), StateText, Patience);
        // Written at 7, a board relayd does not serve: its queries go to the line.
        panel.select_address("7");
        panel.click("Command1");
        QByteArray log;
        QVERIFY(QTest::qWaitFor(
            [&] { return (log += panel.m_board.readAll()).contains("out 22 07 10"); }, Patience));
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), StateText, Patience);
        panel.select_address("3");
        panel.click("Command2");  // read: the board says 7, and the panel follows
        QTRY_COMPARE_WITH_TIMEOUT(panel.find<QLineEdit>("add")->text(), QStringLiteral("7"),
                                  Patience);
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), StateText, Patience);
    }

    void silenceTurnsItYellowAndReturnShowsTheStateAgain() {
        PanelOnLine& panel = *m_panel;
        panel.m_audit.expect(1, {State});
        QVERIFY(panel.open_on_boards(State));
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), StateText, Patience);
        panel.signal_boards(SIGUSR1);
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), QStringLiteral("unknown"), Patience);
        panel.signal_boards(SIGUSR1);
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), StateText, Patience);
    }

    void closingAndReopeningThePortLeavesTheBridgeServing() {
        PanelOnLine& panel = *m_panel;
        panel.m_audit.expect(1, {State});
        QVERIFY(panel.open_on_boards(State));
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), StateText, Patience);
        for (int round = 0; round < 3; ++round) {
            panel.click("open_comm");
            QVERIFY(panel.shows_port_closed());
            panel.click("open_comm");
            QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), StateText, Patience);
        }
        QCOMPARE(panel.m_relayd.state(), QProcess::Running);
    }

    void aProgramKilledOnItsPortLeavesThePortFreeForTheNext() {
        PanelOnLine& panel = *m_panel;
        panel.m_audit.expect(1, {State});
        QVERIFY(panel.open_on_boards(State));
        const QString relayctl = panel.m_line_dir.filePath("relayctl");
        QVERIFY(QFile::copy(RELAYCTL, relayctl));
        QProcess watch;
        watch.start(relayctl, {"-p", "2", "watch"});
        QVERIFY(QTest::qWaitFor([&] { return watch.canReadLine(); }, Patience));  // it polls
        watch.kill();  // with the port open and reserved (exclusive mode)
        QVERIFY(watch.waitForFinished(Patience));
        const QByteArray tty =
            QFile::symLinkTarget(panel.m_line_dir.filePath("com2")).toLocal8Bit();
        const int fd = ::open(tty.constData(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0);
        int exclusive = 1;
        QVERIFY(QTest::qWaitFor(
            [&] { return ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive == 0; }, Patience));
        ::close(fd);
        QCOMPARE(QProcess::execute(relayctl, {"-p", "2", "status"}), 0);
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), StateText, Patience);  // unharmed
    }

    void panelRelayctlAndMqttSwitchOneBoardAtOnce() {
        MosquittoBroker broker;
        QVERIFY(broker.start());
        PanelOnLine& panel = *m_panel;
        panel.share_through_relayd(
            {"--broker", QString("mqtt://127.0.0.1:%1").arg(broker.port()), "--node-id", "e2e"});
        // relayctl finds port 2 as com2 beside itself.
        const QString relayctl = panel.m_line_dir.filePath("relayctl");
        QVERIFY(QFile::copy(RELAYCTL, relayctl));
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

        QProcess cli;
        cli.start(relayctl, {"-p", "2", "on", "16"});
        QVERIFY(broker.publish("relay/e2e/1/15/set", "ON", false));
        panel.click("Picture1(6)");
        QVERIFY(cli.waitForFinished(Patience));
        QCOMPARE(cli.exitCode(), 0);
        QVERIFY(state.wait_for("ON$"));
        QTRY_COMPARE_WITH_TIMEOUT(panel.m_audit.shown(), LookAudit::hex4(Done), Patience);
        QCOMPARE(QProcess::execute(relayctl, {"-p", "2", "status"}), 0);
    }
};

QTEST_MAIN(TestSharedLine)
#include "test_shared_line.moc"
