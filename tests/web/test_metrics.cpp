#include "support/mosquitto_broker.h"
#include "support/processes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QtTest>

using namespace relay;
using namespace relay::testing;

namespace {

const QByteArray Ann = "Basic " + QByteArray("ann:ann-password").toBase64();

// relayd with users, a broker, and a virtual board that breaks some replies.
struct Rig {
    Folder dir;
    MosquittoBroker broker;
    VirtualBoard board;
    Relayd relayd;
    QNetworkAccessManager http;
    int port = free_port();

    bool start_relayd(const QStringList& more) {
        const QStringList options{"--node-id",    "t",
                                  "--broker",     broker.url(),
                                  "--boards",     "1,2",
                                  "--port",       board.tty(),
                                  "--http",       QString::number(port),
                                  "--http-users", dir.path("users"),
                                  "--state-dir",  dir.path("state"),
                                  "--name-file",  dir.path()};
        return relayd.start(options + more, dir.copy("relayd")) &&
               relayd.wait_output("web page at") && relayd.wait_output("board 2 online");
    }
    bool start() {
        Process adding;
        return broker.start() &&
               adding.start(program("relayd"), {"--add-user", "ann", "--role", "operator",
                                                "--http-users", dir.path("users")}) &&
               adding.process().write("ann-password\n") > 0 && adding.finish() &&
               board.start({"--boards", "1,2", "--corrupt", "7", "--drop", "11"}) &&
               start_relayd({"--ha-runtime"});
    }
    QPair<int, QByteArray> get(const QString& path, const QByteArray& method = "GET",
                               const QByteArray& body = {}) {
        QNetworkRequest request{QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path))};
        request.setRawHeader("Authorization", Ann);
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        QNetworkReply* reply = http.sendCustomRequest(request, method, body);
        QTest::qWaitFor([reply] { return reply->isFinished(); }, Patience);
        reply->deleteLater();
        return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                reply->readAll()};
    }
    // A sample of the scrape; -1 when it is not there.
    static double sample(const QByteArray& text, const QString& series) {
        const QRegularExpression line("^" + QRegularExpression::escape(series) + " (\\S+)$",
                                      QRegularExpression::MultilineOption);
        const auto match = line.match(QString::fromUtf8(text));
        return match.hasMatch() ? match.captured(1).toDouble() : -1;
    }
};

}  // namespace

class TestMetrics : public QObject {
    Q_OBJECT
    Rig m_rig;

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_rig.start()); }

    void aScrapeCountsTheLinesFaultsAndPassesPromtool() {
        const auto first = m_rig.get("/metrics");
        QCOMPARE(first.first, 200);
        QTest::qWait(2500);
        const auto later = m_rig.get("/metrics");
        for (const char* result : {"ok", "timeout", "bad_checksum"}) {
            const QString series =
                QString("relayd_bus_requests_total{board=\"1\",result=\"%1\"}").arg(result);
            QVERIFY2(Rig::sample(later.second, series) > Rig::sample(first.second, series),
                     qPrintable(series));
        }
        QCOMPARE(Rig::sample(later.second,
                             "relayd_bus_requests_total{board=\"1\",result=\"wrong_"
                             "address\"}"),
                 0.0);
        QCOMPARE(Rig::sample(later.second, "relayd_board_up{board=\"2\"}"), 1.0);
        QCOMPARE(Rig::sample(later.second, "relayd_mqtt_connected"), 1.0);
        Process promtool;
        QVERIFY(promtool.start("promtool", {"check", "metrics"}));
        promtool.process().write(later.second);
        promtool.process().closeWriteChannel();
        QVERIFY(promtool.finish());
        QCOMPARE(promtool.output(), QString());
        QCOMPARE(promtool.exit_code(), 0);
        // Users make it a login's, as for the API.
        QNetworkRequest anonymous{
            QUrl(QStringLiteral("http://127.0.0.1:%1/metrics").arg(m_rig.port))};
        QNetworkReply* refused = m_rig.http.get(anonymous);
        QTest::qWaitFor([refused] { return refused->isFinished(); }, Patience);
        QCOMPARE(refused->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 401);
        refused->deleteLater();
    }

    void theHistoryTellsWhoSwitchedAndTheCountersKeepIt() {
        QVERIFY(m_rig.broker.publish("relay/t/1/3/set", "ON", false));
        QCOMPARE(m_rig.get("/api/boards/1/channels/4", "POST", R"({"state":"ON"})").first, 200);
        m_rig.board.signal(SIGUSR2);  // another master switches channel 1
        QJsonObject history;
        const auto has = [&](const char* kind, const char* pattern) {
            const QJsonArray rows = history.value(kind).toArray();
            const QRegularExpression wanted(pattern);
            return std::any_of(rows.begin(), rows.end(), [&](const QJsonValue& row) {
                return wanted.match(QJsonDocument(row.toObject()).toJson(QJsonDocument::Compact))
                    .hasMatch();
            });
        };
        QVERIFY(QTest::qWaitFor(
            [&] {
                history =
                    QJsonDocument::fromJson(m_rig.get("/api/history?board=1").second).object();
                return has("changes", R"("channel":1,"state":"ON")");
            },
            Patience));
        QVERIFY(has("changes",
                    R"("cause":\{"detail":"relay/t/1/3/set","kind":"mqtt","user":null\},)"
                    R"("channel":3,"state":"ON")"));
        QVERIFY(has("changes", R"("kind":"web","user":"ann"\},"channel":4,"state":"ON")"));
        QVERIFY(has("changes", R"("kind":"master","user":null\},"channel":1,"state":"ON")"));
        QVERIFY(has("commands",
                    R"("channels":\[4\],"outcome":"verified","reason":null,"source":)"
                    R"(\{"detail":"/api/boards/1/channels/4","kind":"web","user":"ann"\})"));
        const auto csv = m_rig.get("/api/history?board=1&user=ann&format=csv").second;
        QVERIFY2(csv.contains(",command,1,4,ON,web,/api/boards/1/channels/4,ann,verified,"), csv);
        // An orderly stop and a start keep the counters; Home Assistant's
        // sensors go when --ha-runtime does.
        QTest::qWait(1200);
        const auto before = Rig::sample(m_rig.get("/metrics").second,
                                        R"(relayd_channel_switches_total{board="1",channel="4"})");
        QVERIFY(before >= 1);
        TopicRecorder sensors(m_rig.broker, "homeassistant/sensor/t/1_4_switches/config");
        QVERIFY(sensors.wait_for("^1 .*total_increasing"));
        QCOMPARE(m_rig.relayd.stop(), 0);
        QVERIFY(m_rig.start_relayd({}));
        QVERIFY(sensors.wait_for([](const QString& line) {
            return line.trimmed() == "0 homeassistant/sensor/t/1_4_switches/config";
        }));
        QCOMPARE(Rig::sample(m_rig.get("/metrics").second,
                             R"(relayd_channel_switches_total{board="1",channel="4"})"),
                 before);
    }
};

QTEST_GUILESS_MAIN(TestMetrics)
#include "test_metrics.moc"
