#include "bridge/mqtt_client.h"
#include "support/mosquitto_broker.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

#include <chrono>
#include <cstring>
#include <thread>

#include <dlfcn.h>
#include <netdb.h>

#include "support/table.h"

using namespace relay;
using relay::testing::MosquittoBroker;
using relay::testing::row;

namespace {

constexpr int Patience = 10000;
constexpr int TickMs = 50;
constexpr int LookupMs = 1500;
// Slow to resolve, and then 127.0.0.1, which the test broker's certificate
// names, unlike this name.
const char* const SlowName = "slow-lookup.relay-test";

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

class TestMqttLookup : public QObject {
    Q_OBJECT
private Q_SLOTS:
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

QTEST_GUILESS_MAIN(TestMqttLookup)
#include "test_mqtt_lookup.moc"
