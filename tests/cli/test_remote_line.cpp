#include "support/mosquitto_broker.h"
#include "support/table.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

using relay::testing::MosquittoBroker;
using relay::testing::row;
using relay::testing::TopicRecorder;

namespace {

constexpr int Patience = 20000;

// The virtual board on a pty, served by a real ser2net on a loopback port as
// a raw TCP line, the way a board on another machine is reached.
struct RemoteLine {
    QTemporaryDir dir;
    QString empty = dir.filePath("empty");  // --name-file without name.txt
    QProcess board;
    QProcess ser2net;
    QString tty;
    QString board_log;
    int port = MosquittoBroker::free_port();

    bool start() {
        QDir().mkpath(empty);
        board.start(RELAY_BOARD_SIM, {"--log"});
        if (!QTest::qWaitFor([&] { return board.canReadLine(); }, Patience)) {
            return false;
        }
        tty = QString(board.readLine()).trimmed();
        QFile yaml(dir.filePath("ser2net.yaml"));
        const QString config = QString(
                                   "connection: &bus\n"
                                   "  accepter: tcp,127.0.0.1,%1\n"
                                   "  connector: serialdev,%2,9600n81,local\n"
                                   "  options:\n"
                                   "    kickolduser: true\n")
                                   .arg(port)
                                   .arg(tty);
        if (!yaml.open(QIODevice::WriteOnly) || yaml.write(config.toUtf8()) != config.size()) {
            return false;
        }
        yaml.close();
        return start_ser2net();
    }
    // Foreground, its own file, no UUCP lock: runs the same as root or not.
    bool start_ser2net() {
        ser2net.setProcessChannelMode(QProcess::MergedChannels);
        ser2net.start("/usr/sbin/ser2net", {"-n", "-u", "-c", dir.filePath("ser2net.yaml")});
        return QTest::qWaitFor([&] { return listening(); }, Patience);
    }
    void stop_ser2net() {
        ser2net.terminate();
        ser2net.waitForFinished(Patience);
    }
    ~RemoteLine() {
        stop_ser2net();
        board.terminate();
        board.waitForFinished(Patience);
    }
    QString address() const { return QString("tcp:127.0.0.1:%1").arg(port); }
    // Asked of the system, not by connecting: a probe would be a user to ser2net.
    bool listening() const {
        QFile table("/proc/net/tcp");
        const QString local = QString(":%1").arg(port, 4, 16, QChar('0')).toUpper();
        const QStringList lines =
            table.open(QIODevice::ReadOnly) ? QString(table.readAll()).split('\n') : QStringList();
        return std::any_of(lines.begin(), lines.end(), [&](const QString& line) {
            const QStringList fields = line.simplified().split(' ');
            return fields.size() > 3 && fields[1].endsWith(local) && fields[3] == "0A";
        });
    }
    bool board_heard(const QString& frame) {
        return QTest::qWaitFor(
            [&] { return (board_log += board.readAllStandardOutput()).contains("in  " + frame); },
            Patience);
    }
};

}  // namespace

class TestRemoteLine : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void relayctlWorksOverSer2netAndNamesWhatFails_data() {
        QTest::addColumn<QString>("port");  // %LINE% is ser2net's
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QString>("output");  // regular expression on stdout + stderr
        QTest::addColumn<QString>("frame");   // the board hears it, if any
        row("status", "%LINE%", QStringList{"status"}, 0, "^ 1  released\n.*\n16  released\n$",
            "55 01 10 00 00 00 00");
        row("on 3 verified", "%LINE%", QStringList{"on", "3"}, 0, "^ 3  energised\n$",
            "55 01 12 00 00 00 03");
        row("nothing listening", "tcp:127.0.0.1:1", QStringList{"status"}, 3,
            "^relayctl: cannot open port tcp:127.0.0.1:1: cannot connect to 127.0.0.1:1: "
            "connection refused\n$",
            "");
        row("port 0 is a usage error", "tcp:127.0.0.1:0", QStringList{"status"}, 2, "--help", "");
        row("no host is a usage error", "tcp::2000", QStringList{"status"}, 2, "--help", "");
        row("bare IPv6 is a usage error", "tcp:::1:2000", QStringList{"status"}, 2, "--help", "");
    }
    void relayctlWorksOverSer2netAndNamesWhatFails() {
        QFETCH(QString, port);
        QFETCH(QStringList, arguments);
        QFETCH(int, exit_code);
        QFETCH(QString, output);
        QFETCH(QString, frame);
        RemoteLine line;
        QVERIFY(line.start());
        QProcess relayctl;
        relayctl.setProcessChannelMode(QProcess::MergedChannels);
        relayctl.start(RELAYCTL, QStringList{"-p", QString(port).replace("%LINE%", line.address()),
                                             "--name-file", line.empty} +
                                     arguments);
        QVERIFY(relayctl.waitForFinished(Patience));
        const QString printed = QString::fromLocal8Bit(relayctl.readAll());
        const QRegularExpression expected(output, QRegularExpression::DotMatchesEverythingOption);
        QVERIFY2(expected.match(printed).hasMatch(), qPrintable(printed));
        QCOMPARE(relayctl.exitCode(), exit_code);
        QVERIFY2(frame.isEmpty() || line.board_heard(frame), qPrintable(line.board_log));
    }

    void relaydMarksTheBoardOfflineWhileSer2netIsGoneAndSwitchesAfter() {
        MosquittoBroker broker;
        QVERIFY(broker.start());
        RemoteLine line;
        QVERIFY(line.start());
        TopicRecorder availability(broker, "relay/t/1/availability");
        TopicRecorder state(broker, "relay/t/1/3/state");
        QVERIFY(availability.subscribed() && state.subscribed());
        QProcess relayd;
        relayd.setProcessChannelMode(QProcess::MergedChannels);
        relayd.start(RELAYD,
                     {"--port", line.address(), "--node-id", "t", "--boards", "1", "--name-file",
                      line.empty, "--broker", QString("mqtt://127.0.0.1:%1").arg(broker.port())});
        const auto seen = [&](const QStringList& payloads) {
            return QTest::qWaitFor(
                [&] {
                    QStringList got = availability.messages().replaceInStrings(
                        QRegularExpression("^. \\S+ "), "");
                    return got.mid(0, payloads.size()) == payloads;
                },
                Patience);
        };
        QVERIFY(seen({"online"}));
        line.stop_ser2net();
        QVERIFY(seen({"online", "offline"}));
        QVERIFY(line.start_ser2net());
        QVERIFY(seen({"online", "offline", "online"}));
        QVERIFY(broker.publish("relay/t/1/3/set", "ON", false));
        QVERIFY(state.wait_for("^. relay/t/1/3/state ON$"));
        QVERIFY(line.board_heard("55 01 12 00 00 00 03"));
        relayd.terminate();
        QVERIFY(relayd.waitForFinished(Patience));
        // Offline through the line's loss, not through the board's silence.
        const QString log = relayd.readAll();
        QVERIFY2(log.contains(QString("port %1 lost: connection to 127.0.0.1:%2 lost: closed by "
                                      "the other end")
                                  .arg(line.address())
                                  .arg(line.port)),
                 qPrintable(log));
    }
};

QTEST_GUILESS_MAIN(TestRemoteLine)
#include "test_remote_line.moc"
