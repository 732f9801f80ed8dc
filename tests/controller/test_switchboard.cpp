#include "controller/switchboard.h"
#include "support/table.h"

#include <QRegularExpression>
#include <QtTest>

#include <map>
#include <optional>
#include <vector>

using namespace relay;
using relay::testing::row;

namespace {

// A line with boards that answer RoundTripMs after a frame, the clock driven
// by hand; everything that happens goes into one transcript with its time.
struct Rig : BusEvents {
    static constexpr std::int64_t RoundTripMs = 20;

    struct Board {
        ChannelBits channels = 0;
        ChannelBits stuck = 0;
        std::int64_t silent_from = -1, silent_to = -1;
    };
    std::map<int, Board> line;
    std::vector<std::pair<std::int64_t, Frame>> replies;
    QStringList transcript;
    std::int64_t now = 0;

    // "address[:channels[:stuck[:silent from-to]]] ..."
    void set_line(const QString& spec) {
        for (const QString& item : spec.split(' ', Qt::SkipEmptyParts)) {
            const QStringList f = item.split(':');
            Board& b = line[f[0].toInt()];
            b.channels = ChannelBits(f.value(1).toInt(nullptr, 0));
            b.stuck = ChannelBits(f.value(2).toInt(nullptr, 0));
            if (f.size() > 3) {
                b.silent_from = f[3].section('-', 0, 0).toInt();
                b.silent_to = f[3].section('-', 1, 1).toInt();
            }
        }
    }
    void note(const QString& what) {
        transcript.append(QStringLiteral("%1 %2").arg(now).arg(what));
    }
    // What a board makes of a frame, and its reply a round trip later.
    void sent(const Frame& f) {
        note(QStringLiteral("> %1 %2 %3").arg(f[1]).arg(f[2], 2, 16, QChar('0')).arg(f[6]));
        auto it = line.find(f[1]);
        if (it == line.end() || (now >= it->second.silent_from && now < it->second.silent_to)) {
            return;
        }
        Board& b = it->second;
        const ChannelBits bit = static_cast<ChannelBits>(1u << ((f[6] - 1) & 15));
        const ChannelBits free = static_cast<ChannelBits>(~b.stuck);
        if (f[2] == cmd::Energise)
            b.channels |= bit & free;
        if (f[2] == cmd::Release)
            b.channels &= static_cast<ChannelBits>(~(bit & free));
        if (f[2] == cmd::SwitchAll)
            b.channels = static_cast<ChannelBits>((b.channels & b.stuck) | (f[6] ? free : 0));
        replies.emplace_back(now + RoundTripMs, build_reply(f[1], f[2], b.channels));
    }
    void replied(const Frame&) override {}
    void availability_changed(const BoardState& b) override {
        note(QStringLiteral("%1 %2")
                 .arg(b.availability == Availability::Online ? "online" : "offline")
                 .arg(b.address));
    }
    void job_finished(int job, JobResult r) override {
        const char* words[] = {"verified", "not verified", "no reply"};
        note(QStringLiteral("job %1 %2").arg(job).arg(words[int(r)]));
    }
    void unanswered(const Frame&) override {}
    void scan_progress(int) override {}
    void scan_finished() override { note("scan done"); }

    // "T what args": acts at time T; runs the line until `until`.
    void run(const QStringList& actions, std::int64_t until) {
        std::size_t next_action = 0;
        const auto action_at = [&] {
            return actions[qsizetype(next_action)].section(' ', 0, 0).toLongLong();
        };
        advance();
        while (now <= until) {
            std::int64_t at = until + 1;
            if (auto d = deadline())
                at = std::min(at, std::max(*d, now));
            if (!replies.empty())
                at = std::min(at, replies.front().first);
            if (next_action < std::size_t(actions.size()))
                at = std::min<std::int64_t>(at, action_at());
            now = at;
            if (now > until)
                break;
            if (!replies.empty() && replies.front().first == now) {
                const Frame r = replies.front().second;
                replies.erase(replies.begin());
                receive(r);
            } else {
                while (next_action < std::size_t(actions.size()) && action_at() == now) {
                    act(actions[qsizetype(next_action++)].split(' ').mid(1));
                }
                advance();
            }
        }
    }
    // The transcript, without the polls when the expected one has none, and
    // without the changes when it has none.
    QStringList seen(const QStringList& expected) const {
        const QString all = expected.join(' ');
        QStringList kept = transcript;
        if (!all.contains("change"))
            kept = kept.filter(QRegularExpression("^\\d+ (?!change)"));
        if (all.contains('>'))
            return kept;
        return kept.filter(QRegularExpression("online|offline|job|scan|pulse|notice|done|change"));
    }
    Switchboard board{[this](const Frame& f) { sent(f); }, *this};
    SwitchRules rules;

    Rig() {
        board.on_notice([this](const SwitchNotice& n) {
            const char* kinds[] = {"pulse ended", "release failed", "momentary released",
                                   "interlock broken", "frame refused"};
            note(QStringLiteral("notice %1 %2").arg(kinds[int(n.kind)]).arg(n.channels, 0, 16));
        });
        // "change CHANNEL on|off CAUSE [TAG]"; the states first heard are left out.
        board.on_change([this](const ChannelChange& c) {
            const char* causes[] = {"none", "command", "pulse", "interlock", "momentary", "shared"};
            if (c.kind != ChannelChange::Kind::Seen)
                note(QStringLiteral("change %1 %2 %3")
                         .arg(c.channel)
                         .arg(c.on ? "on" : "off", c.kind == ChannelChange::Kind::Master
                                                       ? QStringLiteral("master")
                                                       : QStringLiteral("%1 %2")
                                                             .arg(causes[int(c.cause.kind)])
                                                             .arg(c.cause.tag)));
        });
    }
    int commands = 0;
    void advance() { board.advance(now); }
    void receive(const Frame& reply) { board.receive(reply, now); }
    std::optional<std::int64_t> deadline() const { return board.next_deadline_ms(); }
    void answered(int origin, const Frame&) override {
        note(QStringLiteral("answer %1").arg(origin));
    }
    void act(const QStringList& a) {
        const auto n = [&a](int i) { return a.value(i).toInt(nullptr, 0); };
        ChannelCommand command;
        command.address = std::uint8_t(n(1));
        const auto bits = ChannelBits(n(2));
        if (a[0] == "boards") {
            std::vector<std::uint8_t> boards;
            for (const QString& address : a.mid(1))
                boards.push_back(std::uint8_t(address.toInt()));
            board.poller().set_boards(boards);
        } else if (a[0] == "scan") {
            board.poller().start_scan(n(1), n(2), n(3));
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
        } else if (a[0] == "reserve") {
            board.reserve(n(1));
        } else if (a[0] == "stop") {
            board.end_pulses(now);
        } else if (a[0] == "close") {
            board.line_closed(now);
        } else if (a[0] == "open") {
            board.line_opened(now);
        } else {
            // "set A MASK WANTED", or "on|off|toggle|pulse A CHANNELS [MS]"
            const auto wanted = ChannelBits(n(3));
            command.on = a[0] == "on" ? bits : a[0] == "set" ? ChannelBits(bits & wanted) : 0;
            command.off = a[0] == "off" ? bits : a[0] == "set" ? ChannelBits(bits & ~wanted) : 0;
            command.toggle = a[0] == "toggle" ? bits : 0;
            command.pulse = a[0] == "pulse" ? bits : 0;
            command.pulse_ms = a[0] == "pulse" ? n(3) : 0;
            board.submit(
                command, 300,
                [this](const CommandOutcome& o) {
                    const char* results[] = {"verified", "refused", "not verified", "no reply"};
                    const QString result = results[int(o.result)];
                    note(QStringLiteral("done %1 %2")
                             .arg(result, o.reason == result ? "" : o.reason)
                             .trimmed());
                },
                true, 0, {FrameCause::Kind::Command, ++commands});
        }
    }
};

}  // namespace

class TestSwitchboard : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void transcriptOfTheLine_data() {
        QTest::addColumn<QString>("line");  // "address[:channels[:stuck[:silent from-to]]]"
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<int>("until");
        QTest::addColumn<QStringList>("transcript");
        // Polls go out every 200 ms; a reply comes 20 ms after a frame.
        row("boards polled in turn, a cycle every 200 ms", "1 7 200",
            QStringList{"0 boards 1 7 200"}, 420,
            QStringList{"0 > 1 10 0", "20 online 1", "20 > 7 10 0", "40 online 7", "40 > 200 10 0",
                        "60 online 200", "200 > 1 10 0", "220 > 7 10 0", "240 > 200 10 0",
                        "400 > 1 10 0", "420 > 7 10 0"});
        row("a longer cycle starts right after the last exchange", "",
            QStringList{"0 boards 1 2 3"}, 400,
            QStringList{"0 > 1 10 0", "100 > 2 10 0", "200 > 3 10 0", "300 > 1 10 0",
                        "400 > 2 10 0"});
        row("a command goes out in the next free slot, ahead of polls", "1 7",
            QStringList{"0 boards 1 7", "10 set 7 0x0005 0x0004"}, 100,
            QStringList{"0 > 1 10 0", "20 online 1", "20 > 7 11 1", "40 online 7", "40 > 7 12 3",
                        "60 done verified", "60 > 7 10 0"});
        row("all channels in one frame", "1", QStringList{"0 boards 1", "0 on 1 0xFFFF"}, 30,
            QStringList{"0 > 1 13 255", "20 online 1", "20 done verified", "20 > 1 10 0"});
        row("a stuck channel is not verified, at the timeout", "1:0:0x0004",
            QStringList{"0 boards 1", "0 on 1 0x0004"}, 320,
            QStringList{"0 > 1 12 3", "20 online 1", "20 > 1 10 0", "220 > 1 10 0",
                        "300 done not verified"});
        row("a silent board gives no reply", "", QStringList{"0 boards 9", "0 off 9 0x0001"}, 310,
            QStringList{"0 > 9 11 1", "100 > 9 10 0", "300 done no reply", "300 > 9 10 0"});
        row("silent for a second: offline; answering again: online", "1 2:0:0:300-1700",
            QStringList{"0 boards 1 2"}, 1860,
            QStringList{"20 online 1", "40 online 2", "1320 offline 2", "1840 online 2"});
        row("a board never heard of goes offline too", "", QStringList{"0 boards 5"}, 1200,
            QStringList{"1100 offline 5"});
        row("a scan goes ahead of polls, a reply cuts its wait", "1 3",
            QStringList{"0 boards 1", "0 scan 2 4 50"}, 200,
            QStringList{"0 > 2 10 0", "50 > 3 10 0", "70 > 4 10 0", "120 scan done", "120 > 1 10 0",
                        "140 online 1"});
        row("line closed: offline, commands dropped, silence; opened: polls again", "1",
            QStringList{"0 boards 1", "30 close", "30 on 1 0x1", "500 open"}, 520,
            QStringList{"0 > 1 10 0", "20 online 1", "30 offline 1", "330 done no reply",
                        "500 > 1 10 0", "520 online 1"});
        row("a pulse: energised, released at its deadline, both verified", "1",
            QStringList{"0 boards 1", "40 pulse 1 0x4 500"}, 600,
            QStringList{"0 > 1 10 0", "20 online 1", "40 > 1 12 3", "60 done verified",
                        "200 > 1 10 0", "400 > 1 10 0", "540 > 1 11 3", "560 notice pulse ended 4",
                        "600 > 1 10 0"});
        row("a poll that would still be on the line at a release waits for it", "1",
            QStringList{"0 boards 1", "40 pulse 1 0x4 170"}, 240,
            QStringList{"0 > 1 10 0", "20 online 1", "40 > 1 12 3", "60 done verified",
                        "210 > 1 11 3", "230 notice pulse ended 4", "230 > 1 10 0"});
        row("a reserved frame gets the line, a little late as another timer sends it", "1",
            QStringList{"0 boards 1", "0 reserve 210", "212 on 1 0x1"}, 260,
            QStringList{"0 > 1 10 0", "20 online 1", "212 > 1 12 1", "232 done verified",
                        "232 > 1 10 0"});
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
        row("interlock: an energise on the line, not yet answered, counts as on", "1",
            QStringList{"0 rule interlock 1:1+2", "0 boards 1", "40 on 1 0x1", "50 on 1 0x2"}, 120,
            QStringList{"0 > 1 10 0", "20 online 1", "40 > 1 12 1", "60 done verified",
                        "60 > 1 11 1", "80 > 1 12 2", "100 done verified"});
        row("interlock: an energise still queued behind one written counts as on", "1",
            QStringList{"0 rule interlock 1:1+2", "0 boards 1", "40 on 1 0x1", "40 off 1 0x1",
                        "40 on 1 0x1", "45 on 1 0x2"},
            150,
            QStringList{"0 > 1 10 0", "20 online 1", "40 > 1 12 1", "60 done verified",
                        "60 > 1 11 1", "80 done verified", "80 > 1 12 1", "100 done verified",
                        "100 > 1 11 1", "120 > 1 12 2", "140 done verified"});
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
        row("a shared port's energise with its group released at once is answered", "1",
            QStringList{"0 rule interlock 1:1+2", "0 boards 1", "40 frame 1 12 1"}, 80,
            QStringList{"0 > 1 10 0", "20 online 1", "40 > 1 12 1", "60 answer 7"});
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
        row("changes put down to the command, the interlock and the pulse that asked", "1",
            QStringList{"0 rule interlock 1:1+2", "0 boards 1", "40 on 1 0x1", "100 on 1 0x2",
                        "300 pulse 1 0x4 100"},
            460,
            QStringList{"20 online 1", "60 change 1 on command 1", "60 done verified",
                        "120 change 1 off interlock 2", "140 change 2 on command 2",
                        "140 done verified", "320 change 3 on command 3", "320 done verified",
                        "420 change 3 off pulse 0", "420 notice pulse ended 4"});
        row("a change nothing asked for, or only the opposite, or too long ago: another master's",
            "1:0x4:0:30-100",
            QStringList{"0 boards 1", "40 on 1 0x4", "50 master 1 0x0", "3500 master 1 0x4"}, 3700,
            QStringList{"20 online 1", "220 change 3 off master", "340 done not verified",
                        "3620 change 3 on master"});
        row("a shared port's frame, a momentary release and a broken interlock", "1:0x0008",
            QStringList{"0 rule pulse 1:4=250", "0 rule momentary 1:4", "0 rule interlock 1:1+2",
                        "0 boards 1", "40 frame 1 12 3", "100 master 1 0x7"},
            300,
            QStringList{"20 online 1", "20 notice momentary released 8",
                        "40 change 4 off momentary 0", "60 change 3 on shared 7",
                        "220 change 1 on master", "220 change 2 on master",
                        "220 notice interlock broken 3", "240 change 1 off interlock 0",
                        "260 change 2 off interlock 0"});
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
