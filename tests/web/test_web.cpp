#include "names/name_file.h"
#include "support/browser.h"
#include "support/mosquitto_broker.h"
#include "support/processes.h"
#include "support/recording_messages.h"
#include "support/table.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QtTest>

#include <unistd.h>

using namespace relay;
using namespace relay::testing;

namespace {

struct Answer {
    int status = 0;
    QByteArray body;
};

// relayd with its web page on a loopback port, a broker, and the virtual board
// at a real line's pace behind com1.
struct WebRig {
    Folder dir;
    MosquittoBroker broker;
    VirtualBoard board;
    Relayd relayd;
    Browser browser;
    QNetworkAccessManager http;
    int port = free_port();
    QString scheme = "http";
    QList<QSslCertificate> trusted;  // under TLS
    QString users = dir.path("users.txt");

    bool start(const QStringList& board_options, const QStringList& options = {}) {
        return broker.start() &&
               board.start(QStringList{"--line-time", "--boards", "1,2"} + board_options,
                           dir.path("com1")) &&
               start_relayd(options) && browser.start();
    }
    bool start_relayd(const QStringList& options) {
        const QStringList web{"--node-id",    "t",
                              "--broker",     broker.url(),
                              "--boards",     "1,2,3",
                              "--http",       QString::number(port),
                              "--state-dir",  dir.path("state"),
                              "--trust-clock"};
        return relayd.start(web + options, dir.copy("relayd")) && relayd.wait_output("web page at");
    }
    QString url(const QString& path = "/") const {
        return QStringLiteral("%1://127.0.0.1:%2%3").arg(scheme).arg(port).arg(path);
    }
    bool add_user(const QString& name, const QString& role, const QString& password) {
        Process adding;
        return adding.start(program("relayd"),
                            {"--add-user", name, "--role", role, "--http-users", users}) &&
               adding.process().write(password.toUtf8() + "\n") > 0 && adding.finish() &&
               adding.exit_code() == 0;
    }
    Answer request(const QByteArray& method, const QString& path, const QByteArray& body = {},
                   const QList<QPair<QByteArray, QByteArray>>& headers = {}) {
        QNetworkRequest request{QUrl(url(path))};
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setCaCertificates(trusted);
        request.setSslConfiguration(tls);
        for (const auto& header : headers) {
            request.setRawHeader(header.first, header.second);
        }
        QNetworkReply* reply = http.sendCustomRequest(request, method, body);
        QTest::qWaitFor([reply] { return reply->isFinished(); }, Patience);
        const Answer answer{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                            reply->readAll()};
        reply->deleteLater();
        return answer;
    }
    // What a page shows: its channel button's aria-pressed ("" while unknown).
    QString pressed(int page, int board, int channel) {
        return browser
            .run(
                "const b = pages[args.page].locator(`section[data-a=\"${args.board}\"]`)"
                "  .getByRole('button', {name: new RegExp(`^第${args.channel}路( |$)`)});"
                "return (await b.getAttribute('aria-pressed')) || '';",
                {{"page", page}, {"board", board}, {"channel", channel}})
            .toString();
    }
    // Clicks the button whose name starts with name on board's card on pages[page].
    void click(int page, int board, const QString& name) {
        browser.run(
            "await pages[args.page].locator(`section[data-a=\"${args.board}\"]`)"
            ".getByRole('button', {name: new RegExp(`^${args.name}( |$)`)}).click()",
            {{"page", page}, {"board", board}, {"name", name}});
    }
    bool shows(int page, int board, int channel, const QString& wanted) {
        return QTest::qWaitFor([&] { return pressed(page, board, channel) == wanted; }, Patience);
    }
    // Switching frames the board heard since before, as "01 12 00 03".
    QStringList switched(qsizetype before) {
        return board.heard().mid(before).filter(QRegularExpression("^.. 1[123] "));
    }
};

}  // namespace

class TestWeb : public QObject {
    Q_OBJECT
    WebRig* m_rig = nullptr;

private Q_SLOTS:
    void initTestCase() {
        m_rig = new WebRig;
        QVERIFY2(m_rig->start({"--state", "0705", "--stuck", "5"}, {"--pulse", "1:12=300"}),
                 qPrintable(m_rig->browser.error()));
        // pages[0] prefers English; a phone and a desktop prefer Chinese.
        for (const QSize size : {QSize(1280, 800), QSize(360, 740), QSize(1280, 800)}) {
            m_rig->browser.run(
                "const p = vars.english ? await newPage({locale: 'zh-CN'}) : page;"
                "vars.english = true;"
                "await p.setViewportSize({width: args.w, height: args.h});"
                "await p.goto(args.url); await p.waitForSelector('button[aria-pressed]');",
                {{"w", size.width()}, {"h", size.height()}, {"url", m_rig->url()}});
        }
    }
    void cleanupTestCase() {
        WebRig& rig = *m_rig;
        // Refused requests and a bridge away are told on the console; nothing else may be.
        const QJsonValue said = rig.browser.run(
            "return messages.map(m => m.text)"
            ".filter(t => !/Failed to load resource|WebSocket connection to/.test(t))");
        QCOMPARE(said.toArray(), QJsonArray());
        delete m_rig;
    }

    void eachPageShowsTheBoardsAndWhatOthersSwitch() {
        WebRig& rig = *m_rig;
        QVERIFY(rig.shows(1, 1, 1, "true"));
        QVERIFY(rig.shows(2, 1, 2, "false"));
        QVERIFY(rig.shows(1, 2, 9, "true"));
        QCOMPARE(rig.browser
                     .run("return page.locator('section[data-a=\"1\"]')"
                          ".getByRole('button', {name: 'Channel 3 On', exact: true})"
                          ".getAttribute('aria-pressed')")
                     .toString(),
                 "true");
        rig.board.signal(SIGUSR2);  // another master switches channel 1
        QVERIFY(rig.shows(1, 1, 1, "false"));
        QVERIFY(rig.shows(2, 1, 1, "false"));
        rig.board.signal(SIGUSR2);
        QVERIFY(rig.shows(2, 1, 1, "true"));
    }

    void aToggleSwitchesEitherWay_data() {
        QTest::addColumn<QString>("by");
        QTest::addColumn<int>("channel");
        QTest::addColumn<QString>("frame");
        QTest::addColumn<QString>("after");
        row("the page, energised", "page", 9, "01 11 00 09", "false");
        row("the page, released", "page", 6, "01 12 00 06", "true");
        row("the API, energised", "api", 10, "01 11 00 0A", "false");
        row("the API, released", "api", 7, "01 12 00 07", "true");
        row("MQTT, energised", "mqtt", 11, "01 11 00 0B", "false");
        row("MQTT, released", "mqtt", 8, "01 12 00 08", "true");
    }
    void aToggleSwitchesEitherWay() {
        QFETCH(QString, by);
        QFETCH(int, channel);
        QFETCH(QString, frame);
        QFETCH(QString, after);
        WebRig& rig = *m_rig;
        const qsizetype before = rig.board.heard().size();
        if (by == "page") {
            rig.click(1, 1, QString("第%1路").arg(channel));
        } else if (by == "api") {
            QCOMPARE(rig.request("POST", QString("/api/boards/1/channels/%1").arg(channel),
                                 R"({"state":"TOGGLE"})")
                         .status,
                     200);
        } else {
            QVERIFY(rig.broker.publish(QString("relay/t/1/%1/set").arg(channel), "TOGGLE", false));
        }
        QVERIFY(rig.shows(2, 1, channel, after));  // the other page too
        QCOMPARE(rig.switched(before), QStringList{frame});
    }

    void aCommandThatDoesNotTakeIsToldAndTheStateStays() {
        WebRig& rig = *m_rig;
        rig.click(1, 1, "第5路");
        const QJsonValue told = rig.browser.run(
            "await pages[1].getByRole('alert').filter({hasText: '第5路没有切换'})"
            ".waitFor(); return 'told'");
        QCOMPARE(told.toString(), "told");
        QCOMPARE(rig.pressed(1, 1, 5), "false");
    }

    void theApiAnswersEveryOutcome_data() {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("header");  // "Name: value"
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says");
        QTest::addColumn<QStringList>("frames");
        const QString on = R"({"state":"ON"})";
        const QStringList none;
        row("every board", "GET", "/api/boards", "", "", 200, "\"address\":2", none);
        row("one board", "GET", "/api/boards/2", "", "", 200, "\"address\":2", none);
        row("a board not served", "GET", "/api/boards/9", "", "", 404, "not served", none);
        row("a channel read", "GET", "/api/boards/1/channels/3", "", "", 405, "not allowed", none);
        row("PUT", "PUT", "/api/boards/1", on, "", 405, "not allowed", none);
        row("no such path", "GET", "/api/things", "", "", 404, "no such resource", none);
        row("channel 17", "POST", "/api/boards/1/channels/17", on, "", 404, "channels are 1 to 16",
            none);
        row("not JSON", "POST", "/api/boards/1/channels/13", "ON!", "", 400, "not ON, OFF", none);
        row("too large", "POST", "/api/boards/1/channels/13", QString(5000, ' '), "", 413,
            "larger than", none);
        row("PULSE without a length", "POST", "/api/boards/1/channels/13", R"({"state":"PULSE"})",
            "", 422, "no pulse length", none);
        row("another site", "POST", "/api/boards/1/channels/13", on,
            "Origin: http://elsewhere.example", 403, "cross-site", none);
        row("a host name that is not this host's", "GET", "/api/boards", "",
            "Host: elsewhere.example", 403, "only to localhost", none);
        row("switched", "POST", "/api/boards/1/channels/13", on, "", 200,
            R"("channel":13,"name":"第13路","state":"ON")", QStringList{"01 12 00 0D"});
        row("several", "POST", "/api/boards/1", R"({"14":"ON","15":"ON"})", "", 200,
            R"("channel":15,"name":"第15路","state":"ON")",
            QStringList{"01 12 00 0E", "01 12 00 0F"});
        row("not verified", "POST", "/api/boards/1/channels/5", on, "", 409, "not verified",
            QStringList{"01 12 00 05"});
        row("no reply", "POST", "/api/boards/3/channels/1", on, "", 504, "no reply",
            QStringList{"03 12 00 01"});
    }
    void theApiAnswersEveryOutcome() {
        QFETCH(QString, method);
        QFETCH(QString, path);
        QFETCH(QString, body);
        QFETCH(QString, header);
        QFETCH(int, status);
        QFETCH(QString, says);
        QFETCH(QStringList, frames);
        WebRig& rig = *m_rig;
        const qsizetype before = rig.board.heard().size();
        QList<QPair<QByteArray, QByteArray>> headers;
        if (!header.isEmpty()) {
            headers.append({header.section(": ", 0, 0).toUtf8(), header.section(": ", 1).toUtf8()});
        }
        const Answer answer = rig.request(method.toUtf8(), path, body.toUtf8(), headers);
        QCOMPARE(answer.status, status);
        QVERIFY2(QString(answer.body).contains(says), answer.body.constData());
        QTest::qWait(100);  // a frame that should not go out has had its chance
        QCOMPARE(rig.switched(before), frames);
    }

    void aPulseButtonPulsesForItsLength() {
        WebRig& rig = *m_rig;
        const qsizetype before = rig.board.heard().size();
        rig.click(1, 1, "点动 第12路");
        QVERIFY(QTest::qWaitFor([&] { return rig.switched(before).size() == 2; }, Patience));
        QCOMPARE(rig.switched(before), (QStringList{"01 12 00 0C", "01 11 00 0C"}));
        QVERIFY(rig.shows(2, 1, 12, "false"));
    }

    void anEntryAddedOnThePageRunsAndEveryPageShowsItsNextRun() {
        WebRig& rig = *m_rig;
        const QString at = QTime::currentTime().addSecs(6).toString("HH:mm:ss");
        const qsizetype before = rig.board.heard().size();
        rig.browser.run(
            "await pages[2].getByRole('button', {name: '添加定时', exact: true}).click();"
            "const d = pages[2].getByRole('dialog', {name: '添加定时'});"
            "await d.locator('#entry-name').fill('soon');"
            "await d.locator('#entry-text').fill(args.entry);"
            "await d.getByRole('button', {name: '保存'}).click();"
            "await pages[1].locator('section[data-a=\"2\"] .ch[data-c=\"7\"] .nx')"
            "  .getByText(`定时 ${args.at} 吸合`).waitFor();",
            {{"entry", "2:7 on at " + at}, {"at", at}});
        QVERIFY(QTest::qWaitFor([&] { return rig.switched(before).contains("02 12 00 07"); },
                                Patience));
        QVERIFY(rig.shows(1, 2, 7, "true"));
    }

    void aRenameReachesNameTxtAndMqtt() {
        WebRig& rig = *m_rig;
        TopicRecorder config(rig.broker, "homeassistant/switch/t/2_4/config");
        QVERIFY(config.wait_for("第4路"));
        // Then every channel button is still named by the words it shows, in their order.
        QCOMPARE(
            rig.browser
                .run("const card = pages[2].locator('section[data-a=\"2\"]');"
                     "await card.getByRole('button', {name: '改名 第4路', exact: true}).click();"
                     "const dialog = pages[2].getByRole('dialog', {name: '给第4路改名'});"
                     "await dialog.getByRole('textbox').fill('进水阀');"
                     "await dialog.getByRole('button', {name: '保存'}).click();"
                     "await card.getByRole('button', {name: /^第4路 进水阀 /}).waitFor();"
                     "return pages[2].locator('button.sw').evaluateAll(bs => bs.filter(b =>"
                     "  b.innerText.replace(/\\s+/g, ' ').trim() !== b.ariaLabel).length)")
                .toInt(-1),
            0);
        RecordingMessages messages;
        QCOMPARE(NameFile(messages, rig.dir.path()).load_channel_name("2", "4"), "进水阀");
        QVERIFY(config.wait_for("\"name\":\"进水阀\""));
    }

    void theHistoryTellsWhatSwitchedAChannel() {
        WebRig& rig = *m_rig;
        QVERIFY(rig.broker.publish("relay/t/2/13/set", "ON", false));
        QVERIFY(rig.shows(2, 2, 13, "true"));
        const QString tip = rig.browser
                                .run(
                                    "const p = pages[2];"
                                    "await p.locator('section[data-a=\"2\"]')"
                                    "  .getByRole('button', {name: '历史', exact: true}).click();"
                                    "const bar = p.locator('canvas[data-c=\"13\"]');"
                                    "await p.locator('#history-commands tr').first().waitFor();"
                                    "const b = await bar.boundingBox();"
                                    "await p.mouse.click(b.x + b.width - 2, b.y + 5);"
                                    "const tip = await p.locator('#history-tip').textContent();"
                                    "await p.getByRole('button', {name: '返回'}).click();"
                                    "return tip;")
                                .toString();
        QVERIFY2(tip.startsWith("第13路 吸合") && tip.endsWith("MQTT · relay/t/2/13/set"),
                 qPrintable(tip));
    }

    void silenceAndALostBridgeAreShownAndPassBySelf() {
        WebRig& rig = *m_rig;
        rig.board.signal(SIGUSR1);  // silent
        QVERIFY(rig.shows(1, 2, 9, ""));
        QCOMPARE(
            rig.browser.run("return pages[1].locator('section[data-a=\"2\"] .av').textContent()")
                .toString(),
            "无应答");
        rig.board.signal(SIGUSR1);
        QVERIFY(rig.shows(1, 2, 9, "true"));
        QCOMPARE(rig.relayd.stop(), 0);
        QVERIFY(rig.shows(2, 2, 9, ""));
        QVERIFY(rig.browser.run("return pages[2].locator('#banner').textContent()")
                    .toString()
                    .contains("与 relayd 的连接已断开"));
        QVERIFY(rig.start_relayd({"--pulse", "1:12=300"}));
        QVERIFY(rig.shows(1, 2, 9, "true"));
        // Phone and desktop, to look at.
        for (int page : {1, 2}) {
            rig.browser.run("await pages[args.page].screenshot({path: args.path, fullPage: true})",
                            {{"page", page},
                             {"path", QString("%1/web-%2.png")
                                          .arg(QCoreApplication::applicationDirPath())
                                          .arg(page == 1 ? "phone" : "desktop")}});
        }
    }

    // Off loopback, with users and over TLS.
    void offLoopbackOnlyUsersGetIn() {
        WebRig& rig = *m_rig;
        QVERIFY(rig.add_user("ann", "operator", "ann-password"));
        // A file made for a service, its group may read it: kept so by the next user.
        const auto mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
        const gid_t group = ::getuid() == 0 ? 20 : ::getgid();
        QVERIFY(QFile::setPermissions(rig.users, mode) &&
                ::chown(QFile::encodeName(rig.users), uid_t(-1), group) == 0);
        QVERIFY(rig.add_user("vic", "viewer", "vic-password"));
        QCOMPARE(QFileInfo(rig.users).permissions() & QFile::Permissions(0x7077),
                 mode);  // owner, group, others
        QCOMPARE(QFileInfo(rig.users).groupId(), group);
        const QString cert = rig.dir.path("cert.pem"), key = rig.dir.path("key.pem");
        QCOMPARE(
            run("openssl", QString("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                                   "-nodes -days 2 -subj /CN=relayd -addext "
                                   "subjectAltName=IP:127.0.0.1 -keyout %1 -out %2")
                               .arg(key, cert)
                               .split(' '))
                .exit_code,
            0);
        QCOMPARE(rig.relayd.stop(), 0);
        QVERIFY(
            rig.relayd.start({"--boards", "1,2", "--http", QString("0.0.0.0:%1").arg(rig.port),
                              "--http-users", rig.users, "--http-cert", cert, "--http-key", key},
                             rig.dir.copy("relayd")));
        QVERIFY(rig.relayd.wait_output("web page at https://"));
        rig.scheme = "https";
        rig.trusted = QSslCertificate::fromPath(cert);
        const auto login = [&](const char* user, const char* password) {
            return rig.browser
                .run(
                    "const p = await newPage({locale: 'zh-CN', ignoreHTTPSErrors: true});"
                    "vars.p = p; await p.goto(args.url);"
                    "await p.getByLabel('用户名').fill(args.user);"
                    "await p.getByLabel('密码').fill(args.password);"
                    "await p.getByRole('button', {name: '登录'}).click();"
                    "await p.locator('button[aria-pressed], #login-error:not(:empty)').first()"
                    "  .waitFor();"  // the channels come over wss
                    "return (await p.locator('#login-error').textContent()) || 'in';",
                    {{"url", rig.url()}, {"user", user}, {"password", password}})
                .toString();
        };
        QCOMPARE(login("ann", "not-her-password"), "用户名或密码错误");
        const QByteArray vic = "Basic " + QByteArray("vic:vic-password").toBase64();
        QCOMPARE(rig.request("GET", "/api/boards", {}, {{"Authorization", vic}}).status, 429);
        QTest::qWait(1100);  // failed logins are slowed
        QCOMPARE(login("vic", "vic-password"), "in");
        QCOMPARE(rig.browser
                     .run("return vars.p.locator('section[data-a=\"1\"]')"
                          ".getByRole('button', {name: /^第1路( |$)/})"
                          ".getAttribute('aria-disabled')")
                     .toString(),
                 "true");
        const qsizetype before = rig.board.heard().size();
        const QByteArray ann = "Basic " + QByteArray("ann:ann-password").toBase64();
        const QByteArray on = R"({"state":"ON"})";
        QCOMPARE(rig.request("POST", "/api/boards/1/channels/16", on).status, 401);
        QCOMPARE(
            rig.request("POST", "/api/boards/1/channels/16", on, {{"Authorization", vic}}).status,
            403);
        QCOMPARE(login("ann", "ann-password"), "in");
        const QJsonValue cookie = rig.browser.run("return (await vars.p.context().cookies())[0]");
        QVERIFY(cookie["secure"].toBool() && cookie["httpOnly"].toBool());
        QCOMPARE(cookie["sameSite"].toString(), "Strict");
        // A page of another port on the same host: the same site, so the
        // operator's cookie goes along, and only the origin tells.
        Process other;
        const int other_port = free_port();
        QVERIFY(other.start(
            "python3",
            {"-c",
             "import http.server as h, ssl, sys; s = h.HTTPServer(('127.0.0.1', int(sys.argv[1])), "
             "h.BaseHTTPRequestHandler); c = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER); "
             "c.load_cert_chain(sys.argv[2], sys.argv[3]); "
             "s.socket = c.wrap_socket(s.socket, server_side=True); s.serve_forever()",
             QString::number(other_port), cert, key}));
        QVERIFY(QTest::qWaitFor([&] { return listening(other_port); }, Patience));
        rig.browser.run(
            "await vars.p.goto(args.other);"
            "await vars.p.evaluate(u => fetch(u, {method: 'POST', mode: 'no-cors',"
            "  credentials: 'include', body: '{\"state\":\"ON\"}'}).catch(() => {}), args.u);",
            {{"u", rig.url("/api/boards/1/channels/16")},
             {"other", QString("https://127.0.0.1:%1/").arg(other_port)}});
        QTest::qWait(300);
        QCOMPARE(rig.switched(before), QStringList());
        // Nor may it, or a page without a login, hear the boards on the live stream.
        QCOMPARE(
            rig.browser
                .run("const closed = (p, u) => p.evaluate(u => new Promise(done => {"
                     "  new WebSocket(u).onclose = e => done(e.code); }), u);"
                     "const fresh = await newPage({ignoreHTTPSErrors: true});"
                     "await fresh.goto(args.own);"
                     "return [await closed(vars.p, args.live), await closed(fresh, args.live)];",
                     {{"live", rig.url("/api/live").replace("https:", "wss:")}, {"own", rig.url()}})
                .toArray(),
            (QJsonArray{4403, 4401}));
        QCOMPARE(
            rig.request("POST", "/api/boards/1/channels/16", on, {{"Authorization", ann}}).status,
            200);
        // A failed Basic login is logged as a failed form login is, without its password.
        const QByteArray wrong = "Basic " + QByteArray("ann:ann-passw0rd").toBase64();
        QCOMPARE(rig.request("GET", "/api/boards", {}, {{"Authorization", wrong}}).status, 401);
        QVERIFY(rig.relayd.wait_output("failed login from 127.0.0.1 (HTTP Basic)") &&
                !rig.relayd.output().contains("passw0rd"));
        // Her command is in the board's history with her name.
        QCOMPARE(rig.browser
                     .run("await vars.p.goto(args.url);"
                          "await vars.p.locator('section[data-a=\"1\"]')"
                          "  .getByRole('button', {name: '历史', exact: true}).click();"
                          "await vars.p.locator('#history-commands td').first().waitFor();"
                          "const rows = await vars.p.locator('#history-commands tr').evaluateAll("
                          "  rows => rows.map(r => [...r.cells].map(c => c.textContent)));"
                          "return rows.find(r => r[1] === '16')[4];",  // the newest first
                          {{"url", rig.url()}})
                     .toString(),
                 "ann");
    }
};

QTEST_GUILESS_MAIN(TestWeb)
#include "test_web.moc"
