#include "support/processes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using namespace relay;
using namespace relay::testing;

namespace {

// relayctl copied into a folder of its own, with a default name.txt and the
// board behind the com1 link there: port 1 is the board, as for the panel.
// Arguments with %LINE% reach the board through ser2net as well.
struct Rig {
    Folder dir;
    QString empty = dir.path("empty");  // --name-file without name.txt
    QString program = dir.copy("relayctl");
    VirtualBoard board;
    Ser2net ser2net;

    bool start(const QStringList& board_options, const QStringList& arguments = {}) {
        return QDir().mkpath(empty) && !program.isEmpty() &&
               board.start(board_options, dir.path("com1")) &&
               (!arguments.contains("%LINE%") || ser2net.start(board.tty()));
    }
    QStringList expand(QStringList arguments) const {
        write_file(dir.path("rules.conf"),
                   "interlock = 1:1+2\ndead-time = 1=50\npulse = 1:5=200\nmomentary = 1:5\n");
        return arguments.replaceInStrings("%TTY%", board.tty())
            .replaceInStrings("%RULES%", dir.path("rules.conf"))
            .replaceInStrings("%EMPTY%", empty)
            .replaceInStrings("%LINE%", ser2net.address());
    }
    // The frames the board has heard, after a last status query of our own
    // has reached it: nothing else can be in flight.
    QStringList heard() {
        run(program, {"-a", "99", "--timeout", "1", "status"});
        board.wait_heard("63 10 00 00");
        QStringList frames = board.heard();
        frames.removeLast();
        return frames;
    }
};

}  // namespace

class TestRelayctl : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void everyCommandPrintsExitsAndSendsAsExpected_data() {
        QTest::addColumn<QStringList>("board");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exit_code");
        QTest::addColumn<QString>("output");      // regular expression on stdout + stderr
        QTest::addColumn<QStringList>("frames");  // the first frames the board hears
        QTest::addColumn<QString>("name3");       // channel 3's name afterwards
        const QString n3 = "第3路";
        const QStringList none;
        auto row = [](const char* name, QStringList board, QStringList arguments, int code,
                      QString output, QStringList frames, QString name3) {
            QTest::newRow(name) << board << arguments << code << output << frames << name3;
        };
        row("status lists channels with names", {"--state", "0005"}, {"status"}, 0,
            "^ 1  energised  第1路\n 2  released   第2路\n 3  energised  第3路\n", {"01 10 00 00"},
            n3);
        row("status as JSON", {"--state", "8004"}, {"--json", "status"}, 0,
            R"("channels":\[\{"channel":1,"name":"第1路","state":"released"\},.*)"
            R"(\{"channel":3,"name":"第3路","state":"energised"\},.*)"
            R"(\{"channel":16,"name":"第16路","state":"energised"\}\],"device":"/dev/pts/\d+",)"
            R"("port":1,"result":"ok"\})",
            {"01 10 00 00"}, n3);
        row("status by device path, no name.txt, none created", {"--address", "5"},
            {"-p", "%TTY%", "-a", "5", "--name-file", "%EMPTY%", "status"}, 0,
            "^ 1  released\n 2  released\n", {"05 10 00 00"}, n3);
        row("on sends one command per channel", {}, {"on", "3", "4", "3"}, 0,
            "^ 3  energised  第3路\n 4  energised  第4路\n$", {"01 12 00 03", "01 12 00 04"}, n3);
        row("off verified in JSON", {"--state", "FFFF"}, {"off", "16", "--json"}, 0,
            R"("state":"released"\}\],.*"unswitched":\[\],"verified":true)", {"01 11 00 10"}, n3);
        row("toggle reads the board first", {"--state", "0001"}, {"toggle", "1", "2"}, 0,
            "^ 1  released   第1路\n 2  energised  第2路\n$",
            {"01 10 00 00", "01 11 00 01", "01 12 00 02"}, n3);
        row("pulse", {}, {"pulse", "3", "200"}, 0, "^ 3  released   第3路\n$",
            {"01 12 00 03", "01 11 00 03"}, n3);
        row("a momentary ON is a pulse", {}, {"--config", "%RULES%", "on", "5"}, 0, "^ 5  released",
            {"01 12 00 05", "01 11 00 05"}, n3);
        row("an interlocked channel waits for its group", {"--state", "0001"},
            {"--config", "%RULES%", "on", "2"}, 0, "^ 2  energised", {"01 11 00 01", "01 12 00 02"},
            n3);
        row("all on refused with interlocks", {}, {"--config", "%RULES%", "all", "on"}, 2,
            "^relayctl: all on is refused: board 1 has interlocked channels\n$", none, n3);
        row("all on", {}, {"all", "on"}, 0, "^ 1  energised.*\n16  energised  第16路\n$",
            {"01 13 FF FF"}, n3);
        row("all off", {"--state", "FFFF"}, {"-a", "1", "all", "off"}, 0, "16  released",
            {"01 13 00 00"}, n3);
        row("a stuck channel is not verified", {"--stuck", "3"}, {"on", "3", "--timeout", "400"}, 5,
            " 3  released   第3路\n.*channel 3 is released, not energised",
            {"01 12 00 03", "01 10 00 00"}, n3);
        row("a silent board gives no reply", {"--silent"}, {"on", "3", "--timeout", "400"}, 4,
            "^relayctl: no reply from board 1 on port 1 \\(/dev/pts/\\d+\\) within 400 ms\n$",
            {"01 12 00 03", "01 10 00 00"}, n3);
        row("no-verify does not wait", {"--silent"}, {"on", "5", "--no-verify"}, 0, ".",
            {"01 12 00 05"}, n3);
        row("another address is no reply", {}, {"-a", "2", "status", "--timeout", "200"}, 4,
            "no reply from board 2", {"02 10 00 00"}, n3);
        row("read-address", {"--address", "9"}, {"read-address"}, 0, "^9\n$", {"F5 40 00 00"}, n3);
        row("write-address is verified at the new address", {}, {"write-address", "7", "--json"}, 0,
            R"(^\{"address":7,.*"result":"ok","verified":true\})", {"F5 41 00 07", "07 10 00 00"},
            n3);
        row("write-address answered but not taken", {"--keep-address"},
            {"write-address", "7", "--timeout", "400"}, 5,
            "not verified: no status reply from the new address 7", {"F5 41 00 07", "07 10 00 00"},
            n3);
        row("write-address unanswered", {"--silent"}, {"write-address", "7", "--timeout", "400"}, 4,
            "^relayctl: no reply from board 7 on port 1 \\(/dev/pts/\\d+\\) within 400 ms\n$",
            {"F5 41 00 07", "07 10 00 00"}, n3);
        row("scan finds exactly the boards", {"--boards", "1,7,200"}, {"scan", "0-200"}, 0,
            "^  1  released 1-16\n  7  released 1-16\n200  released 1-16\n$",
            {"00 10 00 00", "01 10 00 00", "02 10 00 00"}, n3);
        row("scan of an empty range", {}, {"scan", "2-3", "--json"}, 4,
            R"("boards":\[\],"device".*no board answered at addresses 2-3)",
            {"02 10 00 00", "03 10 00 00"}, n3);
        row("names", {}, {"names", "-a", "4"}, 0, "^ 1  第1路\n.*\n16  第16路\n$", none, n3);
        row("names without name.txt", {}, {"names", "--name-file", "%EMPTY%"}, 6,
            "no name file at .*/empty/name.txt", none, n3);
        row("rename", {}, {"rename", "3", " Pump ", "--json"}, 0, R"("name":" Pump ")", none,
            " Pump ");
        row("rename refusal", {}, {"rename", "3", "a\nb"}, 6, "名称未保存", none, n3);
        row("ports shows the link", {}, {"ports"}, 0, "^  1  /dev/pts/\\d+  \\(link .*/com1\\)\n",
            none, n3);
        row("help", {}, {"--help"}, 0, "EXIT STATUS", none, n3);
        row("port without a device", {}, {"-p", "9", "status"}, 3,
            "^relayctl: cannot open port 9: .*com9", none, n3);
        // The same over ser2net, and what it cannot reach.
        row("status over a TCP line", {}, {"-p", "%LINE%", "--name-file", "%EMPTY%", "status"}, 0,
            "^ 1  released\n.*\n16  released\n$", {"01 10 00 00"}, n3);
        row("on 3 over a TCP line, verified", {},
            {"-p", "%LINE%", "--name-file", "%EMPTY%", "on", "3"}, 0, "^ 3  energised\n$",
            {"01 12 00 03"}, n3);
        row("nothing listening at the TCP port", {}, {"-p", "tcp:127.0.0.1:1", "status"}, 3,
            "^relayctl: cannot open port tcp:127.0.0.1:1: cannot connect to 127.0.0.1:1: "
            "connection refused\n$",
            none, n3);
        const char* usage[][2] = {
            {"channel 0", "on 0"},
            {"channel 17", "off 17"},
            {"address abc", "-a abc"},
            {"address 300", "-a 300"},
            {"unknown command", "frob"},
            {"extra argument", "status extra"},
            {"bad scan range", "scan 9-2"},
            {"all sideways", "all up"},
            {"TCP port 0", "-p tcp:127.0.0.1:0 status"},
            {"TCP line without a host", "-p tcp::2000 status"},
            {"IPv6 without brackets", "-p tcp:::1:2000 status"},
        };
        for (const auto& bad : usage) {
            row(bad[0], {}, QString(bad[1]).split(' '), 2, "relayctl --help shows the usage", none,
                n3);
        }
    }
    void everyCommandPrintsExitsAndSendsAsExpected() {
        QFETCH(QStringList, board);
        QFETCH(QStringList, arguments);
        QFETCH(int, exit_code);
        QFETCH(QString, output);
        QFETCH(QStringList, frames);
        QFETCH(QString, name3);
        Rig rig;
        QVERIFY(rig.start(board, arguments));
        const Ran relayctl = run(rig.program, rig.expand(arguments));
        const QRegularExpression expected(output, QRegularExpression::DotMatchesEverythingOption);
        QVERIFY2(expected.match(relayctl.output).hasMatch(), qPrintable(relayctl.output));
        QCOMPARE(relayctl.exit_code, exit_code);
        // Rows without a status query leave the polls out: timed frames may fall between them.
        QStringList heard = rig.heard();
        if (frames.filter(" 10 ").isEmpty()) {
            heard = heard.filter(QRegularExpression("^.. (?!10)"));
        }
        QCOMPARE(frames.isEmpty() ? heard : heard.mid(0, frames.size()), frames);
        RecordingMessages messages;
        QCOMPARE(NameFile(messages, rig.dir.path()).load_channel_name("1", "3"), name3);
        QVERIFY(!QFile::exists(rig.empty + "/name.txt"));
    }

    void watchReportsAChangeASilenceAndTheReturnUntilInterrupted() {
        Rig rig;
        QVERIFY(rig.start({"--state", "0002"}));
        Process watch(QProcess::SeparateChannels);
        QVERIFY(watch.start(rig.program, {"watch", "--json"}));
        const auto events = [&] {  // "event changes"
            QStringList events;
            for (const QString& line : watch.output().split('\n', Qt::SkipEmptyParts)) {
                const QJsonObject event = QJsonDocument::fromJson(line.toUtf8()).object();
                events
                    << event["event"].toString() + ' ' +
                           QJsonDocument(event["changes"].toArray()).toJson(QJsonDocument::Compact);
            }
            return events;
        };
        const auto wait_for = [&](const QString& event) {
            return QTest::qWaitFor(
                [&] { return !events().isEmpty() && events().last().startsWith(event); }, Patience);
        };
        QVERIFY(wait_for("initial"));
        rig.board.signal(SIGUSR2);  // another master switches 1
        QVERIFY(wait_for("change"));
        rig.board.signal(SIGUSR1);
        QVERIFY(wait_for("silent"));
        rig.board.signal(SIGUSR1);
        QVERIFY(wait_for("back"));
        QCOMPARE(watch.stop(SIGINT), 0);
        QCOMPARE(events(),
                 QStringList({"initial []",
                              R"(change [{"channel":1,"from":"released","to":"energised"}])",
                              "silent []", "back []"}));
        // Closed the orderly way: the next opener gets the port at once.
        QCOMPARE(run(rig.program, {"status"}).exit_code, 0);
    }

    void scanEndsCleanlyOnInterruptWithWhatItFound() {
        Rig rig;
        QVERIFY(rig.start({}));
        Process scan(QProcess::SeparateChannels);
        QVERIFY(scan.start(rig.program, {"scan", "--json"}));
        QVERIFY(rig.board.wait_heard("05 10 00 00"));
        QCOMPARE(scan.stop(SIGINT), 130);
        const QJsonObject found = QJsonDocument::fromJson(scan.output().toUtf8()).object();
        QCOMPARE(found["result"].toString(), "interrupted");
        QCOMPARE(found["boards"].toArray().size(), 1);
        QCOMPARE(found["boards"][0]["address"].toInt(), 1);
        QCOMPARE(run(rig.program, {"status"}).exit_code, 0);
    }
};

QTEST_GUILESS_MAIN(TestRelayctl)
#include "test_relayctl.moc"
