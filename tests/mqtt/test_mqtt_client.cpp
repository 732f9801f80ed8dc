#include "mqtt/mqtt_client.h"
#include "mqtt/payloads.h"
#include "support/mosquitto_broker.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QtTest>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include <dlfcn.h>
#include <netdb.h>

#include "support/table.h"

using namespace relay;
using relay::testing::BrokerOptions;
using relay::testing::MosquittoBroker;
using relay::testing::row;
using relay::testing::TopicRecorder;

namespace {

constexpr int Patience = 10000;
const char* const WrongPassword = "wr0ng-Pa55word";
constexpr int TickMs = 50;
constexpr int LookupMs = 1500;
// Slow to resolve, and then 127.0.0.1, which the test broker's certificate
// names, unlike this name.
const char* const SlowName = "slow-lookup.relay-test";

// Table cells: which broker runs, and which CA the client trusts.
constexpr int Plain = 0, WithPassword = 1, Tls = 2, TlsOtherName = 3, Absent = 4;
constexpr int NoTls = 0, RightCa = 1, WrongCa = 2;

bool wait_count(const QSignalSpy& spy, int count, int ms = Patience) {
    return QTest::qWaitFor([&] { return spy.count() >= count; }, ms);
}

MqttSettings plain(int port) {
    MqttSettings settings;
    settings.host = QStringLiteral("127.0.0.1");
    settings.port = port;
    return settings;
}

MqttSettings with_will(int port) {
    MqttSettings settings = plain(port);
    settings.will_topic = "relay-test/will";
    settings.will_payload = "offline";
    return settings;
}

}  // namespace

// The executable exports it, so libmosquitto's lookups come here first.
extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                           addrinfo** result) noexcept {
    using Real = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "getaddrinfo"));
    if (node && std::strcmp(node, SlowName) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(LookupMs));
        node = "127.0.0.1";
    }
    return real(node, service, hints, result);
}

class TestMqttClient : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void connection_outcome_data() {
        QTest::addColumn<int>("broker");
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("ca");
        QTest::addColumn<QString>("failure");  // empty: connects
        const QString right = MosquittoBroker::Password;
        const QString wrong = WrongPassword;
        const QString hint = "(check --username and the password file)";
        // MQTT 3.1.1 with a password or TLS, right and wrong, is relayd's own table.
        row("anonymous, MQTT 3.1.1", Plain, 4, QString(), NoTls, QString());
        row("anonymous, MQTT 5", Plain, 5, QString(), NoTls, QString());
        row("right password, MQTT 5", WithPassword, 5, right, NoTls, QString());
        row("wrong password, MQTT 5", WithPassword, 5, wrong, NoTls,
            "the broker refused the connection: not authorized " + hint);
        row("no password where one is needed", WithPassword, 4, QString(), NoTls,
            "not authorised " + hint);
        row("TLS with the broker's CA, MQTT 5", Tls, 5, QString(), RightCa, QString());
        row("TLS, certificate for another host", TlsOtherName, 4, QString(), RightCa,
            QString("certificate verify failed"));
        row("nothing listening", Absent, 4, QString(), NoTls, QString("connection refused"));
    }
    void connection_outcome() {
        QFETCH(int, broker);
        QFETCH(int, protocol);
        QFETCH(QString, password);
        QFETCH(int, ca);
        QFETCH(QString, failure);
        MosquittoBroker server;
        if (broker != Absent) {
            QVERIFY(server.start(BrokerOptions{broker == WithPassword,
                                               broker == Tls || broker == TlsOtherName,
                                               broker == TlsOtherName}));
        }
        MqttSettings settings = plain(broker == Absent ? testing::free_port() : server.port());
        settings.protocol = protocol;
        if (!password.isEmpty()) {
            settings.username = MosquittoBroker::User;
            settings.password = password;
        }
        settings.tls = ca != NoTls;
        settings.ca_file = ca == RightCa ? server.ca_file() : server.wrong_ca_file();
        MqttClient client(settings);
        QSignalSpy connected(&client, &MqttClient::connected);
        QSignalSpy failed(&client, &MqttClient::connect_failed);
        client.start();

        if (failure.isEmpty()) {
            QVERIFY2(wait_count(connected, 1), qPrintable(client.last_error()));
            QVERIFY(client.is_connected());
            QCOMPARE(failed.count(), 0);
            return;
        }
        QVERIFY(wait_count(failed, 1));
        QElapsedTimer since_first;
        since_first.start();
        const QString reason = failed.at(0).at(0).toString();
        QVERIFY2(reason.contains(failure), qPrintable(reason));
        QVERIFY2(!reason.contains(WrongPassword) && !reason.contains(MosquittoBroker::Password),
                 qPrintable(reason));
        QVERIFY2(std::all_of(reason.begin(), reason.end(), [](QChar c) { return c.isPrint(); }),
                 qPrintable(reason));
        QCOMPARE(client.last_error(), reason);
        QVERIFY(!client.is_connected());
        // It tries again on its own, after a pause rather than at once.
        QVERIFY(wait_count(failed, 2));
        QVERIFY(since_first.elapsed() >= MqttClient::FirstRetryMs / 2);
        QCOMPARE(failed.at(1).at(0).toString(), reason);
        QCOMPARE(connected.count(), 0);
    }

    // The will is the broker's word for a client that vanished: relayd's own
    // tests kill it; here an orderly stop must not set it off.
    // Home Assistant makes an entity id a slug: sent as one, the ids are those
    // the docs promise; the unique ids stay as they were, and so do the entities.
    void discoveryIdsAreSlugsAndNameTheirOrigin_data() {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("unique_id");
        QTest::addColumn<QString>("entity_id");
        const Topics topics("relay", "Plant-Room__2", "homeassistant");
        const BoardNames names;
        row("switch", discovery_payload(topics, names, 1, 3), "relayd_Plant-Room__2_1_3",
            "switch.relayd_plant_room_2_1_3");
        row("button", button_payload(topics, names, 1, 3), "relayd_Plant-Room__2_1_3_pulse",
            "button.relayd_plant_room_2_1_3_pulse");
        row("bridge", bridge_payload(topics), "relayd_Plant-Room__2_connection",
            "binary_sensor.relayd_plant_room_2_connection");
    }
    void discoveryIdsAreSlugsAndNameTheirOrigin() {
        QFETCH(QByteArray, payload);
        QFETCH(QString, unique_id);
        QFETCH(QString, entity_id);
        const QJsonObject config = QJsonDocument::fromJson(payload).object();
        QCOMPARE(config["unique_id"].toString(), unique_id);
        QCOMPARE(config["default_entity_id"].toString(), entity_id);
        QCOMPARE(config["origin"].toObject()["name"].toString(), "relayd");
        QCOMPARE(config["origin"].toObject()["sw_version"].toString(), RELAY_VERSION);
    }

    void no_will_after_an_orderly_stop() {
        MosquittoBroker broker;
        QVERIFY(broker.start());
        TopicRecorder watcher(broker, "relay-test/#");
        QVERIFY(watcher.subscribed());
        auto client = std::make_unique<MqttClient>(with_will(broker.port()));
        QSignalSpy connected(client.get(), &MqttClient::connected);
        client->start();
        QVERIFY(wait_count(connected, 1));
        client->stop();
        client.reset();
        // Anything the broker published for the client comes before this.
        QVERIFY(broker.publish("relay-test/marker", "after", false));
        QVERIFY(watcher.wait_for("^0 relay-test/marker after$"));
        QCOMPARE(watcher.messages(), QStringList{"0 relay-test/marker after"});
    }

    void publishes_only_while_connected_and_flushes_on_stop() {
        MosquittoBroker broker;
        QVERIFY(broker.start());
        MqttClient client(plain(broker.port()));
        QVERIFY(!client.publish("relay-test/out/early", "x", false));
        QSignalSpy connected(&client, &MqttClient::connected);
        client.start();
        QVERIFY(wait_count(connected, 1));
        TopicRecorder live(broker, "relay-test/out/#");
        QVERIFY(live.subscribed());

        QVERIFY(client.publish("relay-test/out/1", "on", true));
        QVERIFY(live.wait_for("^0 relay-test/out/1 on$"));
        TopicRecorder later(broker, "relay-test/out/#");
        QVERIFY(later.wait_for("^1 relay-test/out/1 on$"));
        // More than the socket takes at once: stop() must write the rest first.
        const QByteArray big(8 * 1024 * 1024, 'x');
        QVERIFY(client.publish("relay-test/out/big", big, false));
        client.stop(Patience);
        QVERIFY(live.wait_for([&](const QString& line) {
            return line.startsWith("0 relay-test/out/big x") && line.size() == big.size() + 21;
        }));
        QVERIFY(!client.publish("relay-test/out/late", "x", false));
    }

    void theLoopRunsOnWhileTheNameIsLookedUp_data() {
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QString>("failure");  // empty: connects
        row("plain", false, QString());
        row("TLS checks the name given, not its address", true,
            QString("certificate verify failed"));
    }
    void theLoopRunsOnWhileTheNameIsLookedUp() {
        QFETCH(bool, tls);
        QFETCH(QString, failure);
        MosquittoBroker broker;
        QVERIFY(broker.start({false, tls}));
        MqttSettings settings;
        settings.host = SlowName;
        settings.port = broker.port();
        settings.tls = tls;
        settings.ca_file = tls ? broker.ca_file() : QString();
        MqttClient client(settings);
        QSignalSpy connected(&client, &MqttClient::connected);
        QSignalSpy failed(&client, &MqttClient::connect_failed);
        int ticks_while_waiting = 0;
        QTimer tick;
        connect(&tick, &QTimer::timeout, this,
                [&] { ticks_while_waiting += connected.isEmpty() && failed.isEmpty() ? 1 : 0; });
        tick.start(TickMs);
        client.start();
        QVERIFY(
            QTest::qWaitFor([&] { return !connected.isEmpty() || !failed.isEmpty(); }, Patience));
        if (failure.isEmpty()) {
            QCOMPARE(connected.count(), 1);
        } else {
            QVERIFY2(!failed.isEmpty() && failed.at(0).at(0).toString().contains(failure),
                     "connected to a broker whose certificate does not name the host");
        }
        QVERIFY2(ticks_while_waiting >= 3, qPrintable(QString::number(ticks_while_waiting)));
    }

    void aStopOrAnEndDuringTheLookupDoesNotWaitForIt() {
        MosquittoBroker broker;
        QVERIFY(broker.start());
        MqttSettings settings;
        settings.host = SlowName;
        settings.port = broker.port();
        {
            MqttClient gone(settings);
            gone.start();
        }
        MqttClient client(settings);
        QSignalSpy connected(&client, &MqttClient::connected);
        QSignalSpy failed(&client, &MqttClient::connect_failed);
        client.start();
        QElapsedTimer clock;
        clock.start();
        client.stop();
        QVERIFY2(clock.elapsed() < LookupMs, "stop() waited for the lookup");
        QTest::qWait(LookupMs + 500);
        QVERIFY(connected.isEmpty() && failed.isEmpty());
        client.start();  // afresh, after the abandoned attempt
        QVERIFY(QTest::qWaitFor([&] { return !connected.isEmpty(); }, Patience));
        QVERIFY(client.publish("relay-test/after", "1", false));
    }
};

QTEST_GUILESS_MAIN(TestMqttClient)
#include "test_mqtt_client.moc"
