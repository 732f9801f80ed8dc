#include "names/stderr_messages.h"
#include "protocol/frame.h"
#include "support/mosquitto_broker.h"
#include "support/processes.h"
#include "support/table.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace relay;
using namespace relay::testing;

namespace {

// relayd copied into a folder of its own with name.txt, the virtual board
// behind com1 there, and a broker.
struct Rig {
    Folder dir;
    MosquittoBroker broker;
    VirtualBoard board;
    Relayd relayd;

    bool start(const QStringList& board_options, const QStringList& relayd_options,
               BrokerOptions broker_options = {}) {
        return broker.start(broker_options) && start_board(board_options) &&
               start_relayd(relayd_options);
    }
    bool start_board(const QStringList& options) { return board.start(options, dir.path("com1")); }
    bool start_relayd(const QStringList& options) {
        return relayd.start(QStringList{"--node-id", "t", "--broker", broker.url()} + options,
                            dir.copy("relayd"));
    }
};

QJsonObject json(const QString& line) {
    return QJsonDocument::fromJson(line.section(' ', 2).toUtf8()).object();
}

}  // namespace

class TestRelayd : public QObject {
    Q_OBJECT
    Rig* m_shared = nullptr;

private Q_SLOTS:
    void initTestCase() {
        m_shared = new Rig;
        QVERIFY(m_shared->start(
            {"--boards", "1,7", "--stuck", "5"},
            {"--boards", "1,7", "--pulse", "1:3=300,1:4=60000", "--interlock", "7:1+2",
             "--dead-time", "7=100", "--share", m_shared->dir.path("com2")}));
    }
    void cleanupTestCase() { delete m_shared; }

    void discoveryAloneLetsAClientSwitchAndStatesFollowReplies() {
        Rig& rig = *m_shared;
        const auto all_32 = [](TopicRecorder& r) {
            return QTest::qWaitFor([&] { return r.messages().size() >= 32; }, Patience);
        };
        TopicRecorder published(rig.broker, "homeassistant/switch/t/+/config");
        QVERIFY(all_32(published));
        TopicRecorder configs(rig.broker, "homeassistant/switch/t/+/config");  // retained now
        QVERIFY(all_32(configs));
        QSet<QString> ids;
        QJsonObject config;
        for (const QString& line : configs.messages()) {
            QVERIFY2(line.startsWith("1 "), qPrintable(line));
            const QJsonObject c = json(line);
            ids.insert(c["unique_id"].toString());
            if (line.contains("/7_3/"))
                config = c;
        }
        QCOMPARE(ids.size(), 32);
        QCOMPARE(config["name"].toString(), "第3路");
        QCOMPARE(config["availability_mode"].toString(), "all");
        QCOMPARE(config["availability"].toArray().size(), 2);
        QCOMPARE(config["device"].toObject()["name"].toString(), "16路串口控制继电器板Tavi 7");
        QCOMPARE(config["device"].toObject()["via_device"].toString(), "relayd_t");
        // As Home Assistant does: only the topics the config names.
        TopicRecorder state(rig.broker, config["state_topic"].toString());
        QVERIFY(state.wait_for("^1 \\S+ OFF$"));
        QVERIFY(rig.broker.publish(config["command_topic"].toString(), "ON", false));
        QVERIFY(state.wait_for("^0 \\S+ ON$"));
        QVERIFY(rig.board.heard().contains("07 12 00 03"));
    }

    void refusedAndFailedCommandsAreReportedAndSendNothing_data() {
        QTest::addColumn<QString>("topic");
        QTest::addColumn<QString>("payload");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("frame");  // the one it sends, if any
        row("unknown word", "relay/t/1/2/set", "MAYBE", "not ON, OFF, TOGGLE", "");
        row("broken JSON", "relay/t/1/set", "{\"2\":\"ON\"", "not ON, OFF, TOGGLE or a JSON", "");
        row("channel 0", "relay/t/1/0/set", "ON", "no channel 0", "");
        row("channel 17", "relay/t/1/17/set", "ON", "no channel 17", "");
        row("JSON channel 17", "relay/t/1/set", "{\"17\":\"ON\"}", "is not a channel 1 to 16", "");
        row("board not served", "relay/t/9/set", "ON", "board 9 is not served", "");
        row("stuck channel", "relay/t/1/5/set", "ON", "not verified", "01 12 00 05");
        row("PULSE without a length", "relay/t/1/2/set", "PULSE", "no pulse length", "");
        row("pulse_ms out of range", "relay/t/1/2/set", R"({"state":"ON","pulse_ms":20})",
            "pulse_ms is not a whole number", "");
    }
    void refusedAndFailedCommandsAreReportedAndSendNothing() {
        QFETCH(QString, topic);
        QFETCH(QString, payload);
        QFETCH(QString, error);
        QFETCH(QString, frame);
        Rig& rig = *m_shared;
        TopicRecorder errors(rig.broker, "relay/t/error");
        QVERIFY(errors.subscribed());
        const qsizetype before = rig.board.heard().size();
        QVERIFY(rig.broker.publish(topic, payload.toUtf8(), false));
        QVERIFY(errors.wait_for([&](const QString& line) { return line.contains(error); }));
        const QStringList sent =
            rig.board.heard().mid(before).filter(QRegularExpression("^.. (?!10)"));
        QCOMPARE(sent, frame.isEmpty() ? QStringList() : QStringList{frame});
        TopicRecorder state(rig.broker, "relay/t/1/5/state");
        QVERIFY(state.wait_for("^1 \\S+ OFF$"));
    }

    void availabilityFollowsSilenceTheLineAndTheBridge_data() {
        QTest::addColumn<bool>("remote");  // the line through ser2net rather than the tty
        row("serial line", false);
        row("TCP line from ser2net", true);
    }
    void availabilityFollowsSilenceTheLineAndTheBridge() {
        QFETCH(bool, remote);
        Rig rig;
        Ser2net ser2net;
        QVERIFY(rig.broker.start() && rig.start_board({}));
        QVERIFY(!remote || ser2net.start(rig.board.tty()));
        TopicRecorder topics(rig.broker, "relay/t/#");
        QVERIFY(topics.subscribed());
        QVERIFY(
            rig.start_relayd(QStringList{"--boards", "1"} +
                             (remote ? QStringList{"--port", ser2net.address()} : QStringList())));
        // The availability payloads so far are these, in this order, after an
        // offline while the first reply is not yet in.
        const auto seen = [&](const QStringList& payloads) {
            return QTest::qWaitFor(
                [&] {
                    QStringList told = topics.messages()
                                           .filter("relay/t/1/availability ")
                                           .replaceInStrings(QRegularExpression("^. \\S+ "), "");
                    if (told.value(0) == "offline" && told.value(1) == "online") {
                        told.removeFirst();
                    }
                    return told == payloads;
                },
                Patience);
        };
        const QStringList on{"online"}, off{"offline"};
        QVERIFY(seen(on));
        rig.board.signal(SIGUSR1);  // silent
        QVERIFY(seen(on + off));
        rig.board.signal(SIGUSR1);
        QVERIFY(seen(on + off + on));
        // The line goes, the adapter pulled out or ser2net gone, and comes back.
        remote ? ser2net.stop() : rig.board.stop();
        QVERIFY(seen(on + off + on + off));
        if (remote) {
            // While a far end drops its connection requests, relayd keeps
            // answering: each birth of Home Assistant gets discovery again.
            const DroppingPort dropping(ser2net.port());
            TopicRecorder configs(rig.broker, "homeassistant/switch/t/1_1/config");
            QVERIFY(configs.wait_for("^1 "));
            QTest::qWait(1200);  // a reopen attempt is under way
            for (int birth = 1; birth <= 3; ++birth) {
                QVERIFY(rig.broker.publish("homeassistant/status", "online", false));
                QVERIFY(QTest::qWaitFor(
                    [&] {
                        return configs.messages().filter(QRegularExpression("^0 ")).size() == birth;
                    },
                    1000));
            }
        }
        QVERIFY(remote ? ser2net.start(rig.board.tty()) : rig.start_board({}));
        QVERIFY(seen(on + off + on + off + on));
        // Offline through the line's loss, not through the board's silence.
        const QString lost = QString(
                                 "port %1 lost: connection to 127.0.0.1:%2 lost: closed by the "
                                 "other end")
                                 .arg(ser2net.address())
                                 .arg(ser2net.port());
        QVERIFY2(rig.relayd.wait_output(remote ? lost : "open again"),
                 qPrintable(rig.relayd.output()));
        QVERIFY(rig.broker.publish("relay/t/1/3/set", "ON", false));
        QVERIFY(topics.wait_for("^. relay/t/1/3/state ON$"));
        QVERIFY(rig.board.wait_heard("01 12 00 03"));
        rig.relayd.signal(SIGKILL);
        QVERIFY(topics.wait_for("^0 relay/t/status offline$"));  // the will
    }

    void aRestartedBrokerAndHomeAssistantsBirthGetEverythingAgain() {
        Rig rig;
        const QStringList options{"--boards",    "1",  "--pulse", "1:4=60000,1:5=1500,1:6=60000",
                                  "--momentary", "1:6"};
        QVERIFY(rig.start({"--state", "0001"}, options));
        QVERIFY(rig.relayd.wait_output("connected") && rig.relayd.wait_output("board 1 online"));
        // The broker goes away during a pulse: the release still goes out.
        QVERIFY(rig.broker.publish("relay/t/1/5/set", "PULSE", false));
        QVERIFY(rig.board.wait_heard("01 12 00 05"));
        rig.broker.stop();
        QVERIFY(rig.board.wait_heard("01 11 00 05"));
        QVERIFY(rig.broker.restart());  // no persistence: everything it had is gone
        TopicRecorder all(rig.broker, "#");
        // A retained command left while the bridge was away must not switch.
        QVERIFY(rig.broker.publish("relay/t/1/1/set", "OFF", true));
        QVERIFY(all.wait_for("^. relay/t/status online$", 20000));
        QVERIFY(rig.relayd.wait_output("retained command ignored"));
        QVERIFY(all.wait_for("^. relay/t/1/availability online$"));
        QVERIFY(all.wait_for("^. homeassistant/switch/t/1_16/config"));
        QVERIFY(rig.broker.publish("relay/t/1/1/set", "", true));
        const auto configs = [&] { return all.messages().filter("switch/t/1_16/config").size(); };
        QVERIFY(rig.broker.publish("homeassistant/status", "online", false));
        QVERIFY(QTest::qWaitFor([&] { return configs() == 2; }, Patience));
        // The bridge's own device before the boards that name it as theirs, in
        // what was sent live (retained copies come in the broker's own order).
        const QStringList live =
            all.messages().filter(QRegularExpression("^0 homeassistant/.*/config "));
        QVERIFY(!live.isEmpty() && live.front().contains("binary_sensor/t/bridge"));
        QVERIFY(all.messages().contains("0 relay/t/1/1/state ON") ||
                all.messages().contains("1 relay/t/1/1/state ON"));
        // Subscribed again: a command still works.
        QVERIFY(rig.broker.publish("relay/t/1/1/set", "OFF", false));
        QVERIFY(all.wait_for("^0 relay/t/1/1/state OFF$"));
        // An orderly stop releases a running pulse and says so itself, the board included.
        QVERIFY(rig.broker.publish("relay/t/1/4/set", "PULSE", false));
        QVERIFY(rig.board.wait_heard("01 12 00 04"));
        QCOMPARE(rig.relayd.stop(), 0);
        QVERIFY(rig.board.wait_heard("01 11 00 04"));
        QVERIFY(all.wait_for("^0 relay/t/1/availability offline$"));
        QVERIFY(all.wait_for("^0 relay/t/status offline$"));
        // Killed while a momentary channel is on: released by the next start.
        QVERIFY(rig.start_relayd(options) && rig.relayd.wait_output("connected") &&
                rig.relayd.wait_output("board 1 online"));
        QVERIFY(rig.broker.publish("relay/t/1/6/set", "ON", false));
        QVERIFY(rig.board.wait_heard("01 12 00 06"));
        rig.relayd.signal(SIGKILL);
        QVERIFY(rig.relayd.finish() && rig.start_relayd(options));
        QVERIFY(rig.board.wait_heard("01 11 00 06"));
        QVERIFY(rig.relayd.wait_output("momentary channel 6 found energised: released"));
    }

    // Killed and started again, spelling the line another way, while its board
    // has gone quiet: the node kept, and no online left standing from before.
    void aRestartKeepsTheNodeAndTellsAQuietBoardOffline() {
        Rig rig;
        QVERIFY(rig.broker.start() && rig.start_board({}));
        const QStringList options{"--broker", rig.broker.url(), "--state-dir",
                                  rig.dir.path("state")};
        QVERIFY(rig.relayd.start(options, rig.dir.copy("relayd")));  // port 1: com1 beside it
        QVERIFY(rig.relayd.wait_output(" chosen for "));
        const QString node = rig.relayd.output().section("node id ", 1).section(' ', 0, 0);
        TopicRecorder all(rig.broker, QString("relay/%1/1/#").arg(node));
        // Both of the first run's messages heard, so none arrives after the count below.
        QVERIFY(all.wait_for("availability online$") &&
                all.wait_for("/1/state .*\"availability\":\"online\""));
        rig.relayd.signal(SIGKILL);
        QVERIFY(rig.relayd.finish());
        rig.board.signal(SIGUSR1);  // silent from now on
        const qsizetype before = all.messages().size();
        QVERIFY(rig.relayd.start(options + QStringList{"--port", rig.board.tty()},
                                 rig.dir.copy("relayd")));
        QVERIFY(rig.relayd.wait_output(QString("node id %1 kept in").arg(node)));
        const QRegularExpression document(QString("0 relay/%1/1/state .*").arg(node));
        QVERIFY(QTest::qWaitFor([&] { return all.messages().mid(before).indexOf(document) >= 0; },
                                Patience));
        const QStringList since = all.messages().mid(before);
        const qsizetype told =
            since.indexOf(QString("0 relay/%1/1/availability offline").arg(node));
        QVERIFY2(told >= 0 && told < since.indexOf(document), qPrintable(since.join('\n')));
    }

    void pulsesAndInterlocksFromMqttAndHomeAssistant() {
        Rig& rig = *m_shared;
        TopicRecorder configs(rig.broker, "homeassistant/button/t/+/config");
        TopicRecorder errors(rig.broker, "relay/t/error");
        QVERIFY(configs.wait_for("button/t/1_3/config") &&
                configs.wait_for("button/t/1_4/config") && errors.subscribed());
        QCOMPARE(configs.messages().size(), 2);  // channels 3 and 4 only
        const QJsonObject button = json(configs.messages().filter("1_3").front());
        QCOMPARE(button["payload_press"].toString(), "PULSE");
        QCOMPARE(button["device"].toObject()["via_device"].toString(), "relayd_t");
        // The button's press: energised, released again 300 ms later.
        qsizetype before = rig.board.heard().size();
        QVERIFY(rig.broker.publish(button["command_topic"].toString(), "PULSE", false));
        QVERIFY(rig.board.wait_heard("01 11 00 03"));
        QCOMPARE(rig.board.heard().mid(before).filter(QRegularExpression("^.. (?!10)")),
                 (QStringList{"01 12 00 03", "01 11 00 03"}));
        // An interlocked group: the other one released first.
        QVERIFY(rig.broker.publish("relay/t/7/1/set", "ON", false));
        QVERIFY(rig.board.wait_heard("07 12 00 01"));
        before = rig.board.heard().size();
        QVERIFY(rig.broker.publish("relay/t/7/2/set", "ON", false));
        QVERIFY(rig.board.wait_heard("07 12 00 02"));
        QCOMPARE(rig.board.heard().mid(before).filter(QRegularExpression("^.. (?!10)")),
                 (QStringList{"07 11 00 01", "07 12 00 02"}));
        QVERIFY(rig.broker.publish("relay/t/7/set", "ON", false));
        QVERIFY(errors.wait_for("all on is refused"));
        // The pair driven from MQTT and from a shared port at once: no reply of
        // the board ever shows both energised, and the port gets its own replies.
        const int port = ::open(QFile::encodeName(rig.dir.path("com2")), O_RDWR | O_NOCTTY);
        termios raw{};
        QVERIFY(port >= 0 && ::tcgetattr(port, &raw) == 0);
        ::cfmakeraw(&raw);
        ::tcsetattr(port, TCSANOW, &raw);
        for (int round = 0; round < 12; ++round) {
            const int mqtt = 1 + round % 2, shared = 2 - round % 2;
            QVERIFY(rig.broker.publish(QString("relay/t/7/%1/set").arg(mqtt), "ON", false));
            const Frame frame = build_frame(7, 0x12, 0, std::uint8_t(shared));
            QVERIFY(::write(port, frame.data(), 8) == 8);
            QByteArray reply;  // none when the MQTT command came later and won
            pollfd readable{port, POLLIN, 0};
            char bytes[8];
            ssize_t got = 0;
            while (reply.size() < 8 && ::poll(&readable, 1, 1500) == 1 &&
                   (got = ::read(port, bytes, std::size_t(8 - reply.size()))) > 0) {
                reply.append(bytes, int(got));
            }
            QVERIFY2(reply.isEmpty() || reply.startsWith("\x22\x07\x12"), reply.toHex().data());
        }
        ::close(port);
        QTest::qWait(500);
        const QRegularExpression both("out  ?22 07 .. .. .. .. .[37BF] ");
        QVERIFY2(!rig.board.output().contains(both), qPrintable(rig.board.output().right(3000)));
    }

    void aScanAtStartServesTheBoardsItFinds_data() {
        QTest::addColumn<QString>("range");
        QTest::addColumn<int>("exit_code");  // -1: still running
        row("two boards in the range", "1-9", -1);
        row("none in the range", "20-22", 4);
    }
    void aScanAtStartServesTheBoardsItFinds() {
        QFETCH(QString, range);
        QFETCH(int, exit_code);
        Rig rig;
        QVERIFY(rig.broker.start() && rig.start_board({"--boards", "3,7"}));
        TopicRecorder availability(rig.broker, "relay/t/+/availability");
        QVERIFY(availability.subscribed() && rig.start_relayd({"--scan", range}));
        if (exit_code >= 0) {
            QVERIFY(rig.relayd.finish());
            QCOMPARE(rig.relayd.exit_code(), exit_code);
            QVERIFY(rig.relayd.wait_output("no board answered at " + range));
            return;
        }
        // Told offline until their first reply as served boards.
        QVERIFY(QTest::qWaitFor(
            [&] { return availability.messages().filter("online").size() == 2; }, Patience));
        QVERIFY(rig.relayd.wait_output("serving boards 3,7"));
    }

    void aConfigOfABoardNoLongerServedIsRemoved() {
        Rig rig;
        QVERIFY(rig.broker.start());
        QVERIFY(rig.broker.publish("homeassistant/switch/t/9_1/config", "{}", true));
        QVERIFY(rig.start_board({}));
        // Listening first: the removal is not retained, so one who comes later never hears it.
        TopicRecorder configs(rig.broker, "homeassistant/switch/t/+/config");
        QVERIFY(configs.subscribed());
        QVERIFY(rig.start_relayd({"--boards", "1"}));
        QVERIFY(configs.wait_for("^. homeassistant/switch/t/1_1/config"));
        QVERIFY(configs.wait_for("^0 homeassistant/switch/t/9_1/config $"));  // emptied
        TopicRecorder fresh(rig.broker, "homeassistant/switch/t/9_1/config");
        QVERIFY(fresh.subscribed());
        QTest::qWait(300);  // a retained config would follow the subscription at once
        QVERIFY(fresh.messages().isEmpty());
    }

    void schedulesRunOnTimeAndAWindowIsAssertedAgainAfterAKill() {
        const QString soon = QTime::currentTime().addSecs(4).toString("HH:mm:ss");
        const QString from = QTime::currentTime().addSecs(-60).toString("HH:mm");
        const QString to = QTime::currentTime().addSecs(1800).toString("HH:mm");
        const QStringList options{"--boards",
                                  "1",
                                  "--trust-clock",
                                  "--state-dir",
                                  "%STATE%",
                                  "--schedule",
                                  "soon=1:5 pulse 300ms at " + soon,
                                  "--schedule",
                                  QString("w=1:2 on from %1 to %2").arg(from, to)};
        const auto next =
            run(program("relayd"), QStringList{"--next-runs", "2", "--timezone", "Europe/Berlin",
                                               "--schedule", "x=1:3 on at 06:00 mon"});
        QVERIFY2(QRegularExpression("x: 1:3 on at 06:00 mon\n    Mon \\S+ 06:00:00 CE.?T  on 3\n"
                                    "    Mon \\S+ 06:00:00 CE.?T  on 3\n")
                     .match(next.output)
                     .hasMatch(),
                 qPrintable(next.output));
        Rig rig;
        QVERIFY(rig.broker.start() && rig.start_board({"--state", "0000"}));
        TopicRecorder runs(rig.broker, "relay/t/schedule");
        QVERIFY(runs.subscribed());
        const QStringList with_state =
            QStringList(options).replaceInStrings("%STATE%", rig.dir.path("state"));
        QVERIFY(rig.start_relayd(with_state));
        QVERIFY(rig.board.wait_heard("01 12 00 02"));  // the window's state at start
        QVERIFY(rig.board.wait_heard("01 11 00 05"));  // the pulse, released
        QVERIFY(runs.wait_for("\"entry\":\"soon\".*\"run\":\"on time\""));
        // Killed, and the board lost its power meanwhile: the window is asserted again.
        rig.relayd.signal(SIGKILL);
        QVERIFY(rig.relayd.finish());
        rig.board.stop();
        QVERIFY(rig.start_board({"--state", "0000"}) && rig.start_relayd(with_state));
        QVERIFY(rig.board.wait_heard("01 12 00 02"));
        QVERIFY(runs.wait_for("\"entry\":\"w\".*\"run\":\"asserted\""));
    }

    void aRenamedChannelReachesItsEntity() {
        Rig& rig = *m_shared;
        TopicRecorder config(rig.broker, "homeassistant/switch/t/1_2/config");
        QVERIFY(config.wait_for("第2路"));
        StderrMessages messages;
        QVERIFY(NameFile(messages, rig.dir.path()).save_channel_name("1", "2", "进水阀"));
        QVERIFY(config.wait_for("\"name\":\"进水阀\""));
    }

    void credentialsStayOutOfSightAndAWrongOneIsRefusedClearly_data() {
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QString>("password");  // "" : the right one
        QTest::addColumn<QString>("ca");        // right, wrong
        QTest::addColumn<QString>("outcome");   // in relayd's log
        row("password file", false, "", "right", "connected");
        row("wrong password", false, "nope-wrong", "right", "not authori");
        row("TLS", true, "", "right", "connected");
        row("TLS with another CA", true, "", "wrong", "certificate");
    }
    void credentialsStayOutOfSightAndAWrongOneIsRefusedClearly() {
        QFETCH(bool, tls);
        QFETCH(QString, password);
        QFETCH(QString, ca);
        QFETCH(QString, outcome);
        Rig rig;
        QVERIFY(rig.broker.start({true, tls}));
        QVERIFY(rig.start_board({}));
        const QString secret = password.isEmpty() ? MosquittoBroker::Password : password;
        QVERIFY(write_file(rig.dir.path("password"), secret.toUtf8() + "\n"));
        QStringList options{"--boards",
                            "1",
                            "--username",
                            MosquittoBroker::User,
                            "--verbose",
                            "--password-file",
                            rig.dir.path("password")};
        if (tls) {
            options << "--broker" << QString("mqtts://localhost:%1").arg(rig.broker.port())
                    << "--cafile"
                    << (ca == "right" ? rig.broker.ca_file() : rig.broker.wrong_ca_file());
        }
        QVERIFY(rig.start_relayd(options));
        QVERIFY2(rig.relayd.wait_output(outcome), qPrintable(rig.relayd.output()));
        QVERIFY(rig.relayd.wait_output("> 55 01 10"));  // frames logged, polling goes on
        QFile cmdline(QString("/proc/%1/cmdline").arg(rig.relayd.process().processId()));
        QVERIFY(cmdline.open(QIODevice::ReadOnly));
        QVERIFY(!cmdline.readAll().contains(secret.toUtf8()));
        QVERIFY(!rig.relayd.output().contains(secret));
        QVERIFY(rig.relayd.running());  // a refusal is retried
    }
};

QTEST_GUILESS_MAIN(TestRelayd)
#include "test_relayd.moc"
