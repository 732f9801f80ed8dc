#include "controller/bus_poller.h"
#include "support/line_rig.h"
#include "support/table.h"

#include <QtTest>

using namespace relay;
using relay::testing::row;

namespace {

struct Rig : relay::testing::LineRig {
    BusPoller poller{[this](const Frame& f) { sent(f); }, *this};

    void advance() override { poller.advance(now); }
    void receive(const Frame& reply) override { poller.receive(reply, now); }
    std::optional<std::int64_t> deadline() const override { return poller.next_deadline_ms(); }
    void act(const QStringList& a) override {
        const auto n = [&a](int i) { return a.value(i).toInt(nullptr, 0); };
        if (a[0] == "switch")
            poller.switch_channels(std::uint8_t(n(1)), ChannelBits(n(2)), ChannelBits(n(3)));
        if (a[0] == "expect")
            note(QStringLiteral("job %1").arg(
                poller.expect(std::uint8_t(n(1)), ChannelBits(n(2)), ChannelBits(n(3)), n(4))));
        if (a[0] == "scan")
            poller.start_scan(n(1), n(2), n(3));
        if (a[0] == "close")
            poller.line_closed(now);
        if (a[0] == "open")
            poller.line_opened();
        if (a[0] == "boards") {
            std::vector<std::uint8_t> list;
            for (const QString& b : a.mid(1))
                list.push_back(std::uint8_t(b.toInt()));
            poller.set_boards(list);
        }
    }
};

}  // namespace

class TestBusPoller : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void transcriptOfTheLine_data() {
        QTest::addColumn<QString>("line");  // "address[:channels[:stuck[:silent from-to]]]"
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<int>("until");
        QTest::addColumn<QStringList>("transcript");
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
            QStringList{"0 boards 1 7", "10 switch 7 0x0005 0x0004",
                        "10 expect 7 0x0005 0x0004 500"},
            100,
            QStringList{"0 > 1 10 0", "10 job 1", "20 online 1", "20 > 7 11 1", "40 online 7",
                        "40 > 7 12 3", "60 job 1 verified", "60 > 7 10 0"});
        row("all channels in one frame", "1",
            QStringList{"0 switch 1 0xFFFF 0xFFFF", "0 expect 1 0xFFFF 0xFFFF 500", "0 boards 1"},
            30,
            QStringList{"0 job 1", "0 > 1 13 255", "20 online 1", "20 job 1 verified",
                        "20 > 1 10 0"});
        row("a stuck channel is not verified, at the timeout", "1:0:0x0004",
            QStringList{"0 switch 1 0x0004 0x0004", "0 expect 1 0x0004 0x0004 300", "0 boards 1"},
            320,
            QStringList{"0 job 1", "0 > 1 12 3", "20 online 1", "20 > 1 10 0", "220 > 1 10 0",
                        "300 job 1 not verified"});
        row("a silent board gives no reply", "",
            QStringList{"0 switch 9 0x0001 0", "0 expect 9 0x0001 0 250", "0 boards 9"}, 260,
            QStringList{"0 job 1", "0 > 9 11 1", "100 > 9 10 0", "250 job 1 no reply"});
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
            QStringList{"0 boards 1", "30 close", "30 switch 1 1 1", "30 expect 1 1 1 100",
                        "500 open"},
            520,
            QStringList{"0 > 1 10 0", "20 online 1", "30 offline 1", "30 job 1",
                        "130 job 1 no reply", "500 > 1 10 0", "520 online 1"});
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

QTEST_GUILESS_MAIN(TestBusPoller)
#include "test_bus_poller.moc"
