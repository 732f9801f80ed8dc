#include "relayd/bridge_options.h"
#include "support/table.h"

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

    void defaultNodeIdIsStableAndDiffersPerAdapter() {
        const QString a = default_node_id("plant room", "/dev/serial/by-id/usb-A");
        QCOMPARE(a, default_node_id("plant room", "/dev/serial/by-id/usb-A"));
        QVERIFY(a != default_node_id("plant room", "/dev/serial/by-id/usb-B"));
        QVERIFY(QRegularExpression("^plant_room-[0-9a-f]{8}$").match(a).hasMatch());
    }
};

QTEST_GUILESS_MAIN(TestBridgeOptions)
#include "test_bridge_options.moc"
