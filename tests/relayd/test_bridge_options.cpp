#include "relayd/bridge_options.h"
#include "relayd/node_id.h"
#include "support/table.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

using namespace relay;
using relay::testing::row;

class TestBridgeOptions : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The options that reach the bridge, or why none do.
    void optionsConfigAndPasswordSources_data() {
        QTest::addColumn<QString>("arguments");  // %DIR%: a folder with relayd.conf and password
        QTest::addColumn<QString>("environment");
        QTest::addColumn<QString>("outcome");
        row("defaults", "", "",
            "port 1 boards 1 mqtt://localhost:1883 tls 0 v4 base relay prefix homeassistant "
            "password ''");
        row("config file", "--config %DIR%/relayd.conf", "",
            "port /dev/ttyUSB7 boards 3,7,8,9 mqtts://broker.lan:8883 tls 1 v5 base plant prefix "
            "ha password 'from the file'");
        row("options win over the file", "--config %DIR%/relayd.conf --boards 2 --base-topic x", "",
            "port /dev/ttyUSB7 boards 2 mqtts://broker.lan:8883 tls 1 v5 base x prefix ha "
            "password 'from the file'");
        row("password from the environment", "--broker mqtt://h:1", "env secret",
            "port 1 boards 1 mqtt://h:1 tls 0 v4 base relay prefix homeassistant password 'env "
            "secret'");
        row("password on the command line", "--password x", "", "refused: never given on the");
        row("user in the broker address", "--broker mqtt://u:p@h", "", "refused: user names");
        row("not mqtt", "--broker http://h", "", "refused: is not mqtt://");
        row("board 256", "--boards 1,256", "", "refused: not a list of addresses");
        row("wildcard in the base topic", "--base-topic a/#", "", "refused: a topic without");
        row("unsafe node id", "--node-id a/b", "", "refused: only letters");
        row("unknown key in the file", "--config %DIR%/bad.conf", "", "refused: unknown key");
        row("certificate without key", "--certfile c.pem", "", "refused: go together");
        const QString defaults =
            "port 1 boards 1 mqtt://localhost:1883 tls 0 v4 base relay prefix "
            "homeassistant password ''";
        row("the web alone: no broker", "--http 8080", "",
            defaults + " web 127.0.0.1:8080 mqtt off");
        row("the web beside a broker", "--http 8080 --broker mqtt://localhost", "",
            defaults + " web 127.0.0.1:8080 mqtt on");
        row("the web off loopback with users", "--http [::]:8080 --http-users u", "",
            defaults + " web :::8080 mqtt off");
        row("the web off loopback without users", "--http 0.0.0.0:8080", "",
            "refused: needs --http-users");
        row("the web on a name", "--http relay.lan:8080", "", "refused: not [ADDRESS:]PORT");
        row("a web certificate without its key", "--http 8080 --http-cert c", "",
            "refused: go together");
        row("switching rules",
            "--pulse 1:3=500 --momentary 1:3 --interlock 7:1+2 --dead-time 7=200", "",
            defaults + " rules 1: 500 4 0 0 rules 7: 0 0 3 200");
        row("a channel in two groups", "--interlock 1:1+2,1:2+3", "",
            "refused: one interlocked group only");
        row("channel 17", "--pulse 1:17=500", "", "refused: a channel from 1 to 16");
        row("a pulse over a day", "--pulse 1:3=86400001", "", "refused: (24 h)");
        row("momentary without a length", "--momentary 1:3", "", "refused: needs a pulse length");
    }
    void optionsConfigAndPasswordSources() {
        QFETCH(QString, arguments);
        QFETCH(QString, environment);
        QFETCH(QString, outcome);
        QTemporaryDir dir;
        const auto write = [&dir](const char* name, const QByteArray& text) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(text);
        };
        write("password", "from the file\nsecond line\n");
        write("relayd.conf",
              "port=/dev/ttyUSB7\nboards=3,7-9\nbroker=mqtts://broker.lan\nmqtt-version=5\n"
              "base-topic=plant\ndiscovery-prefix=ha\npassword-file=" +
                  dir.filePath("password").toUtf8() + "\n");
        write("bad.conf", "colour=blue\n");
        QString error;
        const auto options =
            parse_bridge_options(("relayd " + QString(arguments).replace("%DIR%", dir.path()))
                                     .split(' ', Qt::SkipEmptyParts),
                                 environment, &error);
        QString got = "refused: " + error;
        if (options) {
            QStringList boards;
            for (const auto b : options->line.boards)
                boards << QString::number(b);
            const MqttSettings& m = options->mqtt.broker;
            got =
                QString("port %1 boards %2 %3://%4:%5 tls %6 v%7 base %8 prefix %9 password '%10'")
                    .arg(options->line.port_text, boards.join(','), m.tls ? "mqtts" : "mqtt",
                         m.host)
                    .arg(m.port)
                    .arg(int(m.tls))
                    .arg(m.protocol)
                    .arg(options->mqtt.base_topic, options->mqtt.discovery_prefix, m.password);
            if (options->web.port) {
                got += QString(" web %1:%2 mqtt %3")
                           .arg(options->web.address.toString())
                           .arg(options->web.port)
                           .arg(options->mqtt_on ? "on" : "off");
            }
            for (const auto& [address, r] : options->line.rules.boards) {
                got += QString(" rules %1: %2 %3 %4 %5")
                           .arg(address)
                           .arg(r.pulse_ms[2])
                           .arg(r.momentary)
                           .arg(r.groups.empty() ? 0 : r.groups.front())
                           .arg(r.dead_time_ms);
            }
        }
        const bool refused = outcome.startsWith("refused: ");
        QVERIFY2(
            refused ? got.startsWith("refused: ") && got.contains(outcome.mid(9)) : got == outcome,
            qPrintable(got));
    }

    // The first start adopts the old default (an installation from before keeps
    // its entities); later starts find it whatever the line is called.
    void theNodeIdIsChosenOnceAndKeptForTheLine_data() {
        QTest::addColumn<QString>("first");  // %T: a folder with dev/, by-id/, prog/com1, state
        QTest::addColumn<QString>("then");
        QTest::addColumn<QString>("host");  // at the second start
        QTest::addColumn<QString>("state");
        QTest::addColumn<bool>("same");
        row("the device, then its by-id link", "%T/dev/ttyUSB0", "%T/by-id/usb-A", "box", "state",
            true);
        row("port 1 through com1, then the device", "1", "%T/dev/ttyUSB0", "box", "state", true);
        row("a ./ and a .. in the path", "%T/by-id/usb-A", "%T/dev/../dev/./ttyUSB0", "box",
            "state", true);
        row("the host renamed", "1", "1", "renamed box", "state", true);
        row("another adapter", "%T/dev/ttyUSB0", "%T/dev/ttyUSB1", "box", "state", false);
        row("a state directory that cannot be written", "1", "1", "box", "dev/ttyUSB0/state", true);
    }
    void theNodeIdIsChosenOnceAndKeptForTheLine() {
        QFETCH(QString, first);
        QFETCH(QString, then);
        QFETCH(QString, host);
        QFETCH(QString, state);
        QFETCH(bool, same);
        QTemporaryDir dir;
        const QString t = dir.path();
        QVERIFY(QDir(t).mkpath("dev") && QDir(t).mkpath("by-id") && QDir(t).mkpath("prog"));
        for (const char* device : {"dev/ttyUSB0", "dev/ttyUSB1"}) {
            QFile file(dir.filePath(device));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QVERIFY(QFile::link("../dev/ttyUSB0", dir.filePath("by-id/usb-A")));
        QVERIFY(QFile::link(dir.filePath("by-id/usb-A"), dir.filePath("prog/com1")));
        const StateDirectory kept(dir.filePath(state));
        const auto start = [&](QString port, const QString& on, QString* note) {
            port.replace("%T", t);
            const QString line = line_identity(port, dir.filePath("prog"), dir.filePath("by-id"));
            return kept_node_id(kept, line, on, port, note);
        };
        QString note;
        const QString chosen = start(first, "box", &note);
        QCOMPARE(chosen, default_node_id("box", QString(first).replace("%T", t)));
        QCOMPARE(note.contains("cannot be kept"), state != "state");
        QCOMPARE(start(then, host, &note) == chosen, same);
    }

    void theStateDirectoryIsGivenElseSystemdsElseTheUsers_data() {
        QTest::addColumn<QString>("given");
        QTest::addColumn<QString>("systemd");  // $STATE_DIRECTORY
        QTest::addColumn<QString>("xdg");      // $XDG_STATE_HOME
        QTest::addColumn<QString>("expected");
        row("given", "/srv/r/./s", "/var/lib/relayd", "/x", "/srv/r/s");
        row("systemd's, the first of two", "", "/var/lib/relayd:/var/lib/other", "/x",
            "/var/lib/relayd");
        row("XDG", "", "", "/x/state", "/x/state/relayd");
        row("a relative XDG value is ignored", "", "", "x",
            QDir::homePath() + "/.local/state/relayd");
    }
    void theStateDirectoryIsGivenElseSystemdsElseTheUsers() {
        QFETCH(QString, given);
        QFETCH(QString, systemd);
        QFETCH(QString, xdg);
        QFETCH(QString, expected);
        qputenv("STATE_DIRECTORY", systemd.toUtf8());
        qputenv("XDG_STATE_HOME", xdg.toUtf8());
        QCOMPARE(StateDirectory::resolve(given), expected);
    }
};

QTEST_GUILESS_MAIN(TestBridgeOptions)
#include "test_bridge_options.moc"
