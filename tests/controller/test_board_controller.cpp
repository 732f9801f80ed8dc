#include "controller/board_controller.h"
#include "support/frame_bytes.h"
#include "support/recording_view.h"
#include "support/table.h"

#include <QtTest>

#include <vector>

using namespace relay;
using relay::testing::frame_from_hex;
using relay::testing::frame_to_hex;
using relay::testing::RecordingView;
using relay::testing::row;

namespace {

// Channels 1..16 as letters: E energised, R released, U unknown, C port closed.
QString looks(const RecordingView& view) {
    QString text;
    for (int ch = 1; ch <= ChannelCount; ++ch) {
        text += QStringLiteral("ERUC").at(int(view.look(ch)));
    }
    return text;
}

struct Rig {
    RecordingView view;
    std::vector<Frame> sent;
    BoardController controller{view, [this](const Frame& f) { sent.push_back(f); }};

    // The frame one tick wrote, "" when it wrote none.
    QString tick() {
        const std::size_t before = sent.size();
        controller.tick();
        return sent.size() == before ? QString() : frame_to_hex(sent.back());
    }
    void act(const QString& action) {
        if (action == "openall")
            controller.energise_all();
        if (action == "closeall")
            controller.release_all();
        if (action == "read")
            controller.read_address();
        if (action == "write")
            controller.write_address();
        if (action.startsWith("toggle"))
            controller.toggle_channel(action.mid(6).toInt());
    }
};

const QString AllReleased(16, 'R');

}  // namespace

class TestBoardController : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void actionIsSentOnNextTickOnly_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("actions");  // between two ticks, in order
        QTest::addColumn<QString>("frame");
        row("status query", "1", "", "55 01 10 00 00 00 00 66");
        row("status to 255", "255", "", "55 FF 10 00 00 00 00 64");
        row("257 is board 1", "257", "closeall", "55 01 13 00 00 00 00 69");
        row("energise all", "1", "openall", "55 01 13 00 00 FF FF 67");
        row("read address", "9", "read", "55 F5 40 00 00 00 00 8A");
        row("read, box unusable", "abc", "read", "55 F5 40 00 00 00 00 8A");
        row("write address 263", "263", "write", "55 F5 41 00 00 00 07 92");
        row("toggle energised 3", "1", "toggle3", "55 01 11 00 00 00 03 6A");
        row("toggle released 16", "1", "toggle16", "55 01 12 00 00 00 10 78");
        row("last action wins", "1", "openall toggle5", "55 01 12 00 00 00 05 6D");
    }
    void actionIsSentOnNextTickOnly() {
        QFETCH(QString, address);
        QFETCH(QString, actions);
        QFETCH(QString, frame);
        Rig rig;
        rig.view.m_address_text = address;
        rig.view.set_all(ChannelLook::Released);
        rig.view.m_looks[2] = ChannelLook::Energised;
        for (const QString& action : actions.split(' ', Qt::SkipEmptyParts)) {
            rig.act(action);
        }
        QVERIFY(rig.sent.empty());  // actions never write themselves
        QCOMPARE(rig.tick(), frame);
        rig.view.m_address_text = "1";
        QCOMPARE(rig.tick(), QString("55 01 10 00 00 00 00 66"));
    }

    void clickOnUnknownOrClosedChannelQueuesNothing() {
        for (const ChannelLook look : {ChannelLook::Unknown, ChannelLook::PortClosed}) {
            Rig rig;
            rig.view.set_all(look);
            rig.controller.toggle_channel(4);
            QVERIFY(!rig.controller.pending_command());
        }
    }

    void queuedCommandKeepsAddressOfItsMomentAndTickConsumesIt() {
        Rig rig;
        rig.view.m_address_text = "3";
        rig.controller.release_all();
        rig.view.m_address_text = "4";
        QCOMPARE(rig.tick(), QString("55 03 13 00 00 00 00 6B"));
        QCOMPARE(rig.tick(), QString("55 04 10 00 00 00 00 69"));

        BoardController portless(rig.view, FrameWriter{});
        portless.energise_all();
        portless.tick();
        QVERIFY(!portless.pending_command());
    }

    void replyIsAppliedOnlyWhenValidAndForCurrentAddress_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("shown");  // channels 1..16 after the reply
        QTest::addColumn<int>("adopted");    // -1: none
        QTest::addColumn<int>("countdown");
        const QString before(16, 'E');
        row("channels 1 and 16", "1", "22 01 10 00 00 80 01 B4", "ERRRRRRRRRRRRRRE", -1, 5);
        row("low bitmap 05", "1", "22 01 10 00 00 00 05 38", "ERERRRRRRRRRRRRR", -1, 5);
        row("other board only rearms", "1", "22 02 10 00 00 FF FF 32", before, -1, 5);
        row("bad checksum", "1", "22 01 10 00 00 00 05 39", before, -1, 0);
        row("echoed command", "1", "55 01 10 00 00 00 05 6B", before, -1, 0);
        row("bytes 3 and 4 count in the sum", "1", "22 01 10 01 00 00 00 33", before, -1, 0);
        row("address reply, other", "1", "22 07 40 00 00 00 00 69", before, 7, 5);
        row("address reply, same", "7", "22 07 40 00 00 00 00 69", AllReleased, 7, 5);
        row("address reply, box unusable", "abc", "22 07 40 00 00 00 00 69", before, 7, 5);
        row("board 0 is not an unusable box", "-1", "22 00 10 00 00 00 00 32", before, -1, 5);
    }
    void replyIsAppliedOnlyWhenValidAndForCurrentAddress() {
        QFETCH(QString, address);
        QFETCH(QString, reply);
        QFETCH(QString, shown);
        QFETCH(int, adopted);
        QFETCH(int, countdown);
        Rig rig;
        rig.view.m_address_text = address;
        rig.view.set_all(ChannelLook::Energised);
        rig.controller.receive(frame_from_hex(reply.toLatin1().constData()));
        QCOMPARE(looks(rig.view), shown);
        QCOMPARE(rig.view.m_adopted, adopted < 0
                                         ? std::vector<std::uint8_t>{}
                                         : std::vector<std::uint8_t>{std::uint8_t(adopted)});
        QCOMPARE(rig.controller.reply_countdown(), countdown);
    }

    void silenceTurnsUnknownOnSixthTick() {
        Rig rig;
        QCOMPARE(rig.tick(), QString("55 01 10 00 00 00 00 66"));
        QCOMPARE(looks(rig.view), QString(16, 'U'));  // the very first tick
        rig.controller.receive(frame_from_hex("22 01 10 00 00 00 00 33"));
        for (int tick = 1; tick <= 5; ++tick) {
            rig.tick();
            QCOMPARE(looks(rig.view), AllReleased);
        }
        rig.tick();
        QCOMPARE(looks(rig.view), QString(16, 'U'));
        QCOMPARE(rig.controller.reply_countdown(), 0);
    }

    void unusableAddressTextQueuesAndPollsNothing_data() {
        QTest::addColumn<QString>("text");
        row("minus one", "-1");
        row("letters", "abc");
    }
    void unusableAddressTextQueuesAndPollsNothing() {
        QFETCH(QString, text);
        Rig rig;
        rig.view.m_address_text = text;
        rig.view.set_all(ChannelLook::Released);
        for (const char* action : {"openall", "toggle2", "write"}) {
            rig.act(action);
            QVERIFY(!rig.controller.pending_command());
        }
        QCOMPARE(rig.tick(), QString());
        QVERIFY(rig.view.m_unusable.contains(text));
    }
};

QTEST_APPLESS_MAIN(TestBoardController)
#include "test_board_controller.moc"
