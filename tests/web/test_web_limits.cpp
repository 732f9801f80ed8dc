#include "support/processes.h"
#include "support/table.h"
#include "web/web_listener.h"

#include <QSslSocket>
#include <QtTest>

#include <memory>
#include <vector>

using namespace relay;
using namespace relay::testing;

namespace {

// relayd's web side on the virtual board, with raw sockets from any loopback
// address, sending what no client library would; deadlines of a second.
struct LimitsRig {
    Folder dir;
    VirtualBoard board;
    Relayd relayd;
    int port = free_port();
    QByteArray answer;  // the last one

    bool start(const QStringList& options = {}) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("RELAYD_WEB_DEADLINE_MS", "1000");
        relayd.process().setProcessEnvironment(environment);
        return relayd.start(QStringList{"--boards", "1", "--http", QString::number(port)} + options,
                            dir.copy("relayd")) &&
               relayd.wait_output("web page at");
    }
    std::unique_ptr<QTcpSocket> open(const QString& from) {
        auto socket = std::make_unique<QTcpSocket>();
        socket->bind(QHostAddress(from));
        socket->connectToHost(from.contains(':') ? "::1" : "127.0.0.1", port);
        return socket;
    }
    // Sends request (a byte each gap ms when gap is not 0), then waits for a
    // refusal's close or an answer that keeps the connection: "200 open".
    QString send(QTcpSocket& socket, const QByteArray& request, int gap = 0) {
        answer.clear();
        const auto settled = [&] {
            answer += socket.readAll();
            return socket.state() == QAbstractSocket::UnconnectedState ||
                   (answer.contains("\r\n\r\n") && answer.startsWith("HTTP/1.1 2"));
        };
        for (qsizetype at = 0; at < request.size() && !settled(); at += gap ? 1 : request.size()) {
            socket.write(request.mid(at, gap ? 1 : -1));
            QTest::qWait(gap);
        }
        QTest::qWaitFor(settled, Patience);
        return answer.mid(9, 3) + (socket.state() ? " open" : " closed");
    }
    QStringList switched(qsizetype before) {
        return board.heard().mid(before).filter(QRegularExpression("^.. 1[123] "));
    }
};

const QByteArray Ask = "GET /api/session HTTP/1.1\r\nHost: localhost\r\n\r\n";

QByteArray post(const QByteArray& fields, const QByteArray& body = R"({"state":"ON"})",
                const QByteArray& line = "POST /api/boards/1/channels/3 HTTP/1.1") {
    return line + "\r\nHost: localhost\r\n" + fields + "\r\n" + body;
}

}  // namespace

class TestWebLimits : public QObject {
    Q_OBJECT
    LimitsRig* m_rig = nullptr;

private Q_SLOTS:
    void initTestCase() {
        m_rig = new LimitsRig;
        QVERIFY(m_rig->board.start({"--boards", "1"}, m_rig->dir.path("com1")));
        QVERIFY(m_rig->start());
    }
    void cleanupTestCase() { delete m_rig; }

    void aMalformedOrOversizedRequestIsRefusedClosedAndSwitchesNothing_data() {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("gap");  // ms between bytes; 0: all at once
        QTest::addColumn<QString>("reply");
        const QByteArray length = "Content-Length: 14\r\n";
        row("well formed, so the others would switch", post(length), 0, "200 open");
        row("two lengths", post(length + "Content-Length: 2\r\n"), 0, "400 closed");
        row("the same length twice", post(length + length), 0, "400 closed");
        row("a length and chunks", post(length + "Transfer-Encoding: chunked\r\n"), 0,
            "400 closed");
        row("chunks",
            post("Transfer-Encoding: chunked\r\n", "e\r\n{\"state\":\"ON\"}\r\n0\r\n\r\n"), 0,
            "411 closed");
        row("HTTP/9.9", post(length, {}, "POST /api/boards/1/channels/3 HTTP/9.9"), 0,
            "505 closed");
        row("a NUL in a value", post(length + QByteArray("X-Note: a\0b\r\n", 13)), 0, "400 closed");
        row("a line ending in LF alone", post(length + "X-Note: a\n"), 0, "400 closed");
        row("a header over the limit", post(length + "X-Note: " + QByteArray(MostHeadBytes, 'a')),
            0, "431 closed");
        row("too many fields", post(length + QByteArray("X-Note: a\r\n").repeated(100)), 0,
            "431 closed");
        row("a URL over the limit", post(length, {}, "GET /" + QByteArray(3000, 'a') + " HTTP/1.1"),
            0, "414 closed");
        row("an unknown method", post(length, {}, "BREW /api/boards/1/channels/3 HTTP/1.1"), 0,
            "501 closed");
        row("a WebSocket handshake with a body",
            post(length + "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: "
                          "13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n",
                 R"({"state":"ON"})", "GET /api/live HTTP/1.1"),
            0, "400 closed");
        row("a body shorter than told", post("Content-Length: 20\r\n"), 0, "408 closed");
        row("a head trickled past its deadline", post(length), 50, "408 closed");
    }
    void aMalformedOrOversizedRequestIsRefusedClosedAndSwitchesNothing() {
        QFETCH(QByteArray, request);
        QFETCH(int, gap);
        QFETCH(QString, reply);
        LimitsRig& rig = *m_rig;
        const qsizetype before = rig.board.heard().size();
        const auto socket = rig.open("127.0.0.1");
        QVERIFY(socket->waitForConnected(Patience));
        QCOMPARE(rig.send(*socket, request, gap), reply);
        QTest::qWait(100);  // a frame that should not go out has had its chance
        QCOMPARE(rig.switched(before),
                 reply.startsWith("200") ? QStringList{"01 12 00 03"} : QStringList{});
    }

    void oneClientCannotKeepOthersOut() {
        LimitsRig& rig = *m_rig;
        std::vector<std::unique_ptr<QTcpSocket>> kept;  // served, open, idle
        const auto ask = [&](const QString& from) {
            auto socket = rig.open(from);
            const bool served =
                socket->waitForConnected(Patience) && rig.send(*socket, Ask) == "200 open";
            if (served) {
                kept.push_back(std::move(socket));
            }
            return served;
        };
        int served = 0;
        for (int i = 0; i < 2 * WebListener::MostPerClient; ++i) {
            served += ask("127.0.0.2");
        }
        QCOMPARE(served, WebListener::MostPerClient);
        for (int client = 3; kept.size() < std::size_t{WebListener::MostConnections}; ++client) {
            for (int i = 0; i < WebListener::MostPerClient; ++i) {
                QVERIFY(ask(QString("127.0.0.%1").arg(client)));
            }
        }
        // Every connection is taken, but idle: the longest idle makes room.
        QVERIFY(ask("127.0.0.200"));
        QVERIFY(ask("::1"));
    }

    void tlsOffersOnlyForwardSecretAeadSuites_data() {
        QTest::addColumn<QString>("cipher");  // TLS 1.2's; empty: TLS 1.3
        QTest::addColumn<bool>("accepted");
        row("TLS 1.3", "", true);
        row("TLS 1.2, ECDHE and AES-GCM", "ECDHE-RSA-AES128-GCM-SHA256", true);
        row("TLS 1.2, ECDHE and CBC", "ECDHE-RSA-AES128-SHA", false);
        row("TLS 1.2, RSA key exchange", "AES128-GCM-SHA256", false);
    }
    void tlsOffersOnlyForwardSecretAeadSuites() {
        QFETCH(QString, cipher);
        QFETCH(bool, accepted);
        LimitsRig& rig = *m_rig;
        const QString cert = rig.dir.path("cert.pem"), key = rig.dir.path("key.pem");
        if (!QFile::exists(cert)) {
            QCOMPARE(run("openssl", QString("req -x509 -newkey rsa:2048 -nodes -days 2 -subj "
                                            "/CN=relayd -keyout %1 -out %2")
                                        .arg(key, cert)
                                        .split(' '))
                         .exit_code,
                     0);
            QCOMPARE(rig.relayd.stop(), 0);
            QVERIFY(rig.start({"--http-cert", cert, "--http-key", key}));
        }
        QSslSocket socket;
        QSslConfiguration tls = socket.sslConfiguration();
        tls.setProtocol(cipher.isEmpty() ? QSsl::TlsV1_3 : QSsl::TlsV1_2);
        if (!cipher.isEmpty()) {
            tls.setCiphers(cipher);
        }
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        socket.setSslConfiguration(tls);
        socket.connectToHostEncrypted("127.0.0.1", rig.port);
        QCOMPARE(socket.waitForEncrypted(Patience), accepted);
        if (accepted) {
            QCOMPARE(rig.send(socket, Ask), "200 open");
            QVERIFY(rig.answer.contains("\r\nStrict-Transport-Security: max-age=63072000\r\n"));
        }
    }
};

QTEST_GUILESS_MAIN(TestWebLimits)
#include "test_web_limits.moc"
