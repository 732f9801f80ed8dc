#include "controller/board_controller.h"
#include "serial/qt_serial_port.h"
#include "serial/serial_link.h"
#include "support/frame_bytes.h"
#include "support/recording_view.h"
#include "tools/board_simulator.h"

#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

using namespace relay;
using relay::testing::frame_from_hex;
using relay::testing::frame_to_hex;
using relay::testing::RecordingView;

namespace {

constexpr int Patience = 5000;

// The panel's side: port, controller and a window stand-in, wired as the
// window wires them.
struct Panel {
    QtSerialPort port;
    RecordingView view;
    BoardController controller{view, frame_writer_for(port)};

    explicit Panel(const QString& link_directory) {
        port.set_link_directory(link_directory);
        deliver_groups(port, controller);
    }

    // Channels as a bitmap; a channel that is not Energised counts as clear.
    int shown() const {
        int bits = 0;
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            if (view.look(channel) == ChannelLook::Energised) {
                bits |= 1 << (channel - 1);
            }
        }
        return bits;
    }
    bool all_released() const {
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            if (view.look(channel) != ChannelLook::Released) {
                return false;
            }
        }
        return true;
    }
};

SimOptions board_options(const QTemporaryDir& dir, std::uint16_t channels) {
    SimOptions options;
    options.link = dir.filePath(QStringLiteral("com1"));
    options.channels = channels;
    return options;
}

struct SimProcess {
    QProcess process;
    QString tty;

    bool start(const QStringList& arguments) {
        process.start(QStringLiteral(RELAY_BOARD_SIM), arguments);
        if (!process.waitForStarted(Patience)) {
            return false;
        }
        const bool got_line = QTest::qWaitFor([&] { return process.canReadLine(); }, Patience);
        tty = QString::fromLocal8Bit(process.readLine()).trimmed();
        return got_line && tty.startsWith(QLatin1Char('/'));
    }
};

}  // namespace

class TestBoardSim : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void controllerPollsAndSwitchesOverTheLine() {
        QTemporaryDir dir;
        BoardSimulator board(board_options(dir, 0x0A5F));
        QString error;
        QVERIFY2(board.start(&error), qPrintable(error));
        Panel panel(dir.path());
        QVERIFY2(panel.port.open(QStringLiteral("1")), qPrintable(panel.port.error_text()));

        panel.controller.tick();
        QTRY_COMPARE_WITH_TIMEOUT(panel.shown(), 0x0A5F, Patience);

        panel.controller.toggle_channel(1);
        panel.controller.tick();
        QTRY_COMPARE_WITH_TIMEOUT(panel.shown(), 0x0A5E, Patience);

        panel.controller.energise_all();
        panel.controller.tick();
        QTRY_COMPARE_WITH_TIMEOUT(panel.shown(), 0xFFFF, Patience);
    }

    void splitAndLateRepliesStillArriveWhole() {
        QTemporaryDir dir;
        SimOptions options = board_options(dir, 0x8001);
        options.faults.split_every = 1;
        options.faults.delay_ms = 30;
        BoardSimulator board(options);
        QString error;
        QVERIFY2(board.start(&error), qPrintable(error));
        Panel panel(dir.path());
        QVERIFY(panel.port.open(QStringLiteral("1")));
        QSignalSpy groups(&panel.port, &SerialPort::group_received);
        panel.controller.tick();
        QTRY_COMPARE_WITH_TIMEOUT(panel.shown(), 0x8001, Patience);
        QCOMPARE(groups.count(), 1);
    }

    void noisyReplyIsDroppedAndNextReplyRepaints() {
        QTemporaryDir dir;
        SimOptions options = board_options(dir, 0x0000);
        options.faults.noise_every = 2;
        BoardSimulator board(options);
        QString error;
        QVERIFY2(board.start(&error), qPrintable(error));
        Panel panel(dir.path());
        QVERIFY(panel.port.open(QStringLiteral("1")));
        QSignalSpy groups(&panel.port, &SerialPort::group_received);

        panel.controller.tick();
        QTRY_VERIFY_WITH_TIMEOUT(panel.all_released(), Patience);

        panel.view.set_all(ChannelLook::Unknown);
        panel.controller.tick();
        QTRY_COMPARE_WITH_TIMEOUT(groups.count(), 2, Patience);
        QCOMPARE(frame_to_hex(qvariant_cast<Frame>(groups.at(1).at(0))),
                 QString("00 22 01 10 00 00 00 00"));
        QCOMPARE(panel.view.look(1), ChannelLook::Unknown);

        // The purge before the next frame takes the leftover byte with it.
        panel.controller.tick();
        QTRY_VERIFY_WITH_TIMEOUT(panel.all_released(), Patience);
    }

    void programAnswersThroughItsLinkAndLogs() {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("com1"));
        SimProcess sim;
        QVERIFY(sim.start({"--link", link, "--log", "--state", "0A5F"}));
        QCOMPARE(QFileInfo(link).symLinkTarget(), sim.tty);

        QtSerialPort port;
        port.set_link_directory(dir.path());
        QVERIFY2(port.open(QStringLiteral("1")), qPrintable(port.error_text()));
        QSignalSpy groups(&port, &SerialPort::group_received);
        port.write_frame(frame_from_hex("55 01 10 00 00 00 00 66"));
        QTRY_COMPARE_WITH_TIMEOUT(groups.count(), 1, Patience);
        QCOMPARE(frame_to_hex(qvariant_cast<Frame>(groups.at(0).at(0))),
                 QString("22 01 10 00 00 0A 5F 9C"));

        QByteArray log;
        QVERIFY(QTest::qWaitFor(
            [&] {
                log += sim.process.readAllStandardOutput();
                return log.contains("out 22 01 10 00 00 0A 5F 9C");
            },
            Patience));
        QVERIFY(log.contains("in  55 01 10 00 00 00 00 66"));
    }

    void programEndsCleanlyAndThePanelSeesTheDeviceGo_data() {
        QTest::addColumn<int>("signal_number");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }
    void programEndsCleanlyAndThePanelSeesTheDeviceGo() {
        QFETCH(int, signal_number);
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("com1"));
        auto sim = std::make_unique<SimProcess>();
        QVERIFY(sim->start({"--link", link}));
        Panel panel(dir.path());
        QVERIFY(panel.port.open(QStringLiteral("1")));
        QSignalSpy lost(&panel.port, &SerialPort::device_lost);

        ::kill(static_cast<pid_t>(sim->process.processId()), signal_number);
        QVERIFY(sim->process.waitForFinished(Patience));
        QCOMPARE(sim->process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim->process.exitCode(), 0);
        QVERIFY(!QFileInfo(link).isSymLink());
        QTRY_COMPARE_WITH_TIMEOUT(lost.count(), 1, Patience);
        QVERIFY(!panel.port.is_open());

        // A new board behind the same link: the same number opens again.
        sim = std::make_unique<SimProcess>();
        QVERIFY(sim->start({"--link", link, "--state", "FFFF"}));
        QVERIFY2(panel.port.open(QStringLiteral("1")), qPrintable(panel.port.error_text()));
        panel.controller.tick();
        QTRY_COMPARE_WITH_TIMEOUT(panel.shown(), 0xFFFF, Patience);
        QCOMPARE(lost.count(), 1);
        sim->process.terminate();
        QVERIFY(sim->process.waitForFinished(Patience));
    }

    void wrongOptionIsRefused() {
        QProcess sim;
        sim.start(QStringLiteral(RELAY_BOARD_SIM), {"--state", "XYZ"});
        QVERIFY(sim.waitForFinished(Patience));
        QCOMPARE(sim.exitCode(), 2);
        QVERIFY(sim.readAllStandardError().contains("--state"));
    }
};

QTEST_GUILESS_MAIN(TestBoardSim)
#include "test_board_sim.moc"
