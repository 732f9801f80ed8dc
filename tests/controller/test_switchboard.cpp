#include "controller/switchboard.h"
#include "support/line_rig.h"
#include "support/table.h"

#include <QtTest>

using namespace relay;
using relay::testing::row;

namespace {

struct Rig : relay::testing::LineRig {
    Switchboard board{[this](const Frame& f) { sent(f); }, *this};
    SwitchRules rules;

    Rig() {
        board.on_notice([this](const SwitchNotice& n) {
            const char* kinds[] = {"pulse ended", "release failed", "momentary released",
                                   "interlock broken", "frame refused"};
            note(QStringLiteral("notice %1 %2").arg(kinds[int(n.kind)]).arg(n.channels, 0, 16));
        });
    }
    void advance() override { board.advance(now); }
    void receive(const Frame& reply) override { board.receive(reply, now); }
    std::optional<std::int64_t> deadline() const override { return board.next_deadline_ms(); }
    void answered(int origin, const Frame&) override {
        note(QStringLiteral("answer %1").arg(origin));
    }
    void act(const QStringList& a) override {
        const auto n = [&a](int i) { return a.value(i).toInt(nullptr, 0); };
        ChannelCommand command;
        command.address = std::uint8_t(n(1));
        const auto bits = ChannelBits(n(2));
        if (a[0] == "boards") {
            board.poller().set_boards({std::uint8_t(n(1))});
        } else if (a[0] == "rule") {
            QString error;
            QVERIFY2(add_switch_rule(rules, a[1], a[2], &error), qPrintable(error));
            board.set_rules(rules);
        } else if (a[0] == "frame") {
            const auto data = std::uint8_t(n(3));
            board.take_frame(build_frame(std::uint8_t(n(1)), std::uint8_t(a[2].toInt(nullptr, 16)),
                                         a[2] == "13" ? data : 0, data),
                             7);
        } else if (a[0] == "master") {
            line[n(1)].channels = bits;
        } else if (a[0] == "stop") {
            board.end_pulses(now);
        } else if (a[0] == "close") {
            board.line_closed(now);
        } else if (a[0] == "open") {
            board.line_opened(now);
        } else {
            (a[0] == "on"       ? command.on
             : a[0] == "off"    ? command.off
             : a[0] == "toggle" ? command.toggle
                                : command.pulse) = bits;
            command.pulse_ms = n(3);
            board.submit(command, 300, [this](const CommandOutcome& o) {
                const char* results[] = {"verified", "refused", "not verified", "no reply"};
                const QString result = results[int(o.result)];
                note(QStringLiteral("done %1 %2")
                         .arg(result, o.reason == result ? "" : o.reason)
                         .trimmed());
            });
        }
    }
};

}  // namespace

class TestSwitchboard : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void transcriptOfTheLine_data() {
        QTest::addColumn<QString>("line");  // "address[:channels[:stuck]]"
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<int>("until");
        QTest::addColumn<QStringList>("transcript");
        // Polls go out every 200 ms; a reply comes 20 ms after a frame.
        row("a pulse: energised, released at its deadline, both verified", "1",
            QStringList{"0 boards 1", "40 pulse 1 0x4 500"}, 600,
            QStringList{"0 > 1 10 0", "20 online 1", "40 > 1 12 3", "60 done verified",
                        "200 > 1 10 0", "400 > 1 10 0", "540 > 1 11 3", "560 notice pulse ended 4",
                        "600 > 1 10 0"});
        row("polls and other channels leave a pulse alone; ON restarts it; OFF ends it", "1",
            QStringList{"0 boards 1", "40 pulse 1 0x4 300", "100 on 1 0x1", "200 on 1 0x4",
                        "400 off 1 0x4"},
            900,
            QStringList{"0 > 1 10 0", "20 online 1", "40 > 1 12 3", "60 done verified",
                        "100 > 1 12 1", "120 done verified", "200 > 1 12 3", "220 done verified",
                        "220 > 1 10 0", "400 > 1 11 3", "420 done verified", "420 > 1 10 0",
                        "620 > 1 10 0", "820 > 1 10 0"});
        row("momentary: every ON is a pulse of its length", "1",
            QStringList{"0 rule pulse 1:3=250", "0 rule momentary 1:3", "0 boards 1",
                        "40 on 1 0x4"},
            400,
            QStringList{"0 > 1 10 0", "20 online 1", "40 > 1 12 3", "60 done verified",
                        "200 > 1 10 0", "290 > 1 11 3", "310 notice pulse ended 4",
                        "400 > 1 10 0"});
        row("a momentary channel found energised is released at once", "1:0x0004",
            QStringList{"0 rule pulse 1:3=250", "0 rule momentary 1:3", "0 boards 1"}, 60,
            QStringList{"0 > 1 10 0", "20 online 1", "20 notice momentary released 4",
                        "20 > 1 11 3"});
        row("PULSE needs a length", "1", QStringList{"0 boards 1", "40 pulse 1 0x4"}, 50,
            QStringList{"20 online 1",
                        "40 done refused channel 3 has no pulse length: "
                        "configure one or give pulse_ms"});
        row("interlock: the other released, shown released, the dead time, then energised",
            "1:0x0001",
            QStringList{"0 rule interlock 1:1+2", "0 rule dead-time 1=100", "0 boards 1",
                        "40 on 1 0x2"},
            240,
            QStringList{"0 > 1 10 0", "20 online 1", "40 > 1 11 1", "160 > 1 12 2",
                        "180 done verified", "200 > 1 10 0"});
        row("interlock: a channel that does not release keeps the other off", "1:0x0001:0x0001",
            QStringList{"0 rule interlock 1:1+2", "0 boards 1", "40 on 1 0x2"}, 360,
            QStringList{"0 > 1 10 0", "20 online 1", "40 > 1 11 1", "200 > 1 10 0",
                        "340 done not verified interlock: channels 1 were not shown released"});
        row("interlock: all on refused, two of a group refused", "1",
            QStringList{"0 rule interlock 1:1+2", "0 boards 1", "40 on 1 0xFFFF", "40 on 1 0x3"},
            50,
            QStringList{"20 online 1",
                        "40 done refused all on is refused: board 1 has interlocked channels",
                        "40 done refused channels 1, 2 are interlocked: only one of them may be "
                        "on"});
        row("interlock broken by another master: the group released", "1",
            QStringList{"0 rule interlock 1:1+2", "0 boards 1", "100 master 1 0x3"}, 260,
            QStringList{"0 > 1 10 0", "20 online 1", "200 > 1 10 0",
                        "220 notice interlock broken 3", "220 > 1 11 1", "240 > 1 11 2"});
        row("a shared port's energise is carried out the interlocked way", "1:0x0002",
            QStringList{"0 rule interlock 1:1+2", "0 boards 1", "40 frame 1 12 1",
                        "40 frame 1 13 255"},
            120,
            QStringList{"0 > 1 10 0", "20 online 1", "40 notice frame refused ffff", "40 > 1 11 2",
                        "60 > 1 12 1", "80 answer 7"});
        row("an orderly stop releases every pulse at once", "1",
            QStringList{"0 boards 1", "40 pulse 1 0x4 5000", "100 stop"}, 130,
            QStringList{"0 > 1 10 0", "20 online 1", "40 > 1 12 3", "60 done verified",
                        "100 > 1 11 3", "120 notice pulse ended 4"});
        row("a release overdue while the line was away goes out first when it is back", "1",
            QStringList{"0 boards 1", "40 pulse 1 0x4 200", "100 close", "150 on 1 0x1",
                        "900 open"},
            930,
            QStringList{"0 > 1 10 0", "20 online 1", "40 > 1 12 3", "60 done verified",
                        "100 offline 1", "450 done no reply", "900 > 1 11 3", "920 online 1",
                        "920 notice pulse ended 4", "920 > 1 10 0"});
        row("a release that does not take is told and sent again", "1:0x0004:0x0004",
            QStringList{"0 boards 1", "40 pulse 1 0x4 100"}, 3150,
            QStringList{"20 online 1", "60 done verified", "1140 notice release failed 4",
                        "3140 notice release failed 4"});
    }
    void transcriptOfTheLine() {
        QFETCH(QString, line);
        QFETCH(QStringList, actions);
        QFETCH(int, until);
        QFETCH(QStringList, transcript);
        Rig rig;
        rig.set_line(line);
        rig.run(actions, until);
        QCOMPARE(rig.seen(transcript), transcript);
    }
};

QTEST_GUILESS_MAIN(TestSwitchboard)
#include "test_switchboard.moc"
