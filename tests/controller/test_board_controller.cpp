#include "controller/board_controller.h"
#include "support/frame_bytes.h"
#include "support/recording_view.h"

#include <QtTest>

#include <vector>

using namespace relay;
using relay::testing::frame_from_hex;
using relay::testing::frame_to_hex;
using relay::testing::RecordingView;

Q_DECLARE_METATYPE(relay::ChannelLook)

namespace {

struct Rig {
    RecordingView view;
    std::vector<Frame> sent;
    BoardController controller{view, [this](const Frame& f) { sent.push_back(f); }};

    QString tick() {
        const std::size_t before = sent.size();
        controller.tick();
        return sent.size() == before ? QString() : frame_to_hex(sent.back());
    }
    void reply(const char* hex) { controller.receive(frame_from_hex(hex)); }
    // A valid status reply from `address` with the given bitmaps.
    void status_reply(std::uint8_t address, std::uint8_t high, std::uint8_t low) {
        Frame f{ReplyHeader, address, cmd::Status, 0, 0, high, low, 0};
        f[7] = frame_checksum(f);
        controller.receive(f);
    }
};

}  // namespace

class TestBoardController : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void firstTickShowsUnknownAndQueriesStatus() {
        Rig rig;
        rig.view.set_all(ChannelLook::Energised);
        QCOMPARE(rig.tick(), QString("55 01 10 00 00 00 00 66"));
        for (int ch = 1; ch <= 16; ++ch) {
            QCOMPARE(rig.view.look(ch), ChannelLook::Unknown);
        }
        QCOMPARE(rig.controller.reply_countdown(), 0);
    }

    void operatorActionSendsItsFrameOnNextTick_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("frame");
        QTest::newRow("energise all") << "openall"
                                      << "1"
                                      << "55 01 13 00 00 FF FF 67";
        QTest::newRow("release all") << "closeall"
                                     << "1"
                                     << "55 01 13 00 00 00 00 69";
        QTest::newRow("read address") << "read"
                                      << "9"
                                      << "55 F5 40 00 00 00 00 8A";
        QTest::newRow("write address") << "write"
                                       << "7"
                                       << "55 F5 41 00 00 00 07 92";
        QTest::newRow("write address 263") << "write"
                                           << "263"
                                           << "55 F5 41 00 00 00 07 92";
        QTest::newRow("toggle energised 3") << "toggle3"
                                            << "1"
                                            << "55 01 11 00 00 00 03 6A";
        QTest::newRow("toggle released 16") << "toggle16"
                                            << "1"
                                            << "55 01 12 00 00 00 10 78";
        QTest::newRow("257 is board 1") << "closeall"
                                        << "257"
                                        << "55 01 13 00 00 00 00 69";
    }
    void operatorActionSendsItsFrameOnNextTick() {
        QFETCH(QString, action);
        QFETCH(QString, address);
        QFETCH(QString, frame);
        Rig rig;
        rig.view.m_address_text = address;
        rig.view.set_all(ChannelLook::Released);
        rig.view.m_looks[2] = ChannelLook::Energised;
        if (action == "openall")
            rig.controller.energise_all();
        if (action == "closeall")
            rig.controller.release_all();
        if (action == "read")
            rig.controller.read_address();
        if (action == "write")
            rig.controller.write_address();
        if (action == "toggle3")
            rig.controller.toggle_channel(3);
        if (action == "toggle16")
            rig.controller.toggle_channel(16);
        QVERIFY(rig.sent.empty());  // actions never write themselves
        QCOMPARE(rig.tick(), frame);
        QVERIFY(!rig.controller.pending_command());
    }

    void secondActionBeforeTickReplacesFirst() {
        Rig rig;
        rig.view.set_all(ChannelLook::Released);
        rig.controller.energise_all();
        rig.controller.toggle_channel(5);
        QCOMPARE(rig.tick(), QString("55 01 12 00 00 00 05 6D"));
        QCOMPARE(rig.tick(), QString("55 01 10 00 00 00 00 66"));
    }

    void clickOnUnknownOrClosedChannelQueuesNothing_data() {
        QTest::addColumn<ChannelLook>("look");
        QTest::newRow("unknown") << ChannelLook::Unknown;
        QTest::newRow("port closed") << ChannelLook::PortClosed;
    }
    void clickOnUnknownOrClosedChannelQueuesNothing() {
        QFETCH(ChannelLook, look);
        Rig rig;
        rig.view.set_all(look);
        rig.controller.toggle_channel(4);
        QVERIFY(!rig.controller.pending_command());
    }

    void queuedCommandKeepsAddressOfItsMoment() {
        Rig rig;
        rig.view.m_address_text = "3";
        rig.controller.release_all();
        rig.view.m_address_text = "4";
        QCOMPARE(rig.tick(), QString("55 03 13 00 00 00 00 6B"));
        QCOMPARE(rig.tick(), QString("55 04 10 00 00 00 00 69"));
    }

    void pendingCommandIsConsumedByTickEvenWithoutPort() {
        RecordingView view;
        BoardController controller(view, FrameWriter{});  // no port: nothing takes the frame
        controller.energise_all();
        controller.tick();
        QVERIFY(!controller.pending_command());
    }

    void matchingReplySetsAllSixteenChannels() {
        Rig rig;
        rig.reply("22 01 10 00 00 80 01 B4");
        for (int ch = 1; ch <= 16; ++ch) {
            const bool on = ch == 1 || ch == 16;
            QCOMPARE(rig.view.look(ch), on ? ChannelLook::Energised : ChannelLook::Released);
        }
        QCOMPARE(rig.controller.reply_countdown(), 5);
        rig.reply("22 01 10 00 00 00 05 38");
        QCOMPARE(rig.view.look(1), ChannelLook::Energised);
        QCOMPARE(rig.view.look(2), ChannelLook::Released);
        QCOMPARE(rig.view.look(3), ChannelLook::Energised);
        QCOMPARE(rig.view.look(16), ChannelLook::Released);
    }

    void replyFromOtherBoardOnlyRearmsWatchdog() {
        Rig rig;
        rig.reply("22 02 10 00 00 FF FF 32");
        QCOMPARE(rig.view.m_paints, 0);
        QVERIFY(rig.view.m_adopted.empty());
        QCOMPARE(rig.controller.reply_countdown(), 5);
    }

    void invalidReplyChangesNothing_data() {
        QTest::addColumn<QString>("bytes");
        QTest::newRow("bad checksum") << "22 01 10 00 00 00 05 39";
        QTest::newRow("command echo") << "55 01 10 00 00 00 05 6B";
        QTest::newRow("address reply, bad sum") << "22 07 40 00 00 00 00 6A";
    }
    void invalidReplyChangesNothing() {
        QFETCH(QString, bytes);
        Rig rig;
        rig.controller.receive(frame_from_hex(bytes.toLatin1().constData()));
        QCOMPARE(rig.view.m_paints, 0);
        QVERIFY(rig.view.m_adopted.empty());
        QCOMPARE(rig.controller.reply_countdown(), 0);
    }

    void addressReplyIsAdopted_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("repaints");
        QTest::newRow("other address") << "1" << false;
        QTest::newRow("same address") << "7" << true;
        QTest::newRow("unusable address text") << "abc" << false;
    }
    void addressReplyIsAdopted() {
        QFETCH(QString, address);
        QFETCH(bool, repaints);
        Rig rig;
        rig.view.set_all(ChannelLook::Energised);
        rig.view.m_address_text = address;
        rig.reply("22 07 40 00 00 00 00 69");
        QCOMPARE(rig.view.m_adopted, std::vector<std::uint8_t>{7});
        QCOMPARE(rig.view.look(9), repaints ? ChannelLook::Released : ChannelLook::Energised);
        QCOMPARE(rig.controller.reply_countdown(), 5);
        QCOMPARE(rig.tick(), QString("55 07 10 00 00 00 00 6C"));
    }

    void silenceTurnsUnknownOnSixthTick() {
        Rig rig;
        rig.reply("22 01 10 00 00 00 05 38");
        for (int tick = 1; tick <= 5; ++tick) {
            rig.tick();
            QCOMPARE(rig.view.look(1), ChannelLook::Energised);
        }
        QCOMPARE(rig.controller.reply_countdown(), 0);
        rig.tick();
        for (int ch = 1; ch <= 16; ++ch) {
            QCOMPARE(rig.view.look(ch), ChannelLook::Unknown);
        }
        rig.tick();
        QCOMPARE(rig.controller.reply_countdown(), 0);
        rig.status_reply(1, 0x00, 0x01);
        QCOMPARE(rig.view.look(1), ChannelLook::Energised);
    }

    void unusableAddressTextSendsAndAppliesNothing_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("minus one") << "-1";
        QTest::newRow("letters") << "abc";
        QTest::newRow("empty") << "";
        QTest::newRow("beyond 32 bits") << "4294967297";
    }
    void unusableAddressTextSendsAndAppliesNothing() {
        QFETCH(QString, text);
        Rig rig;
        rig.view.m_address_text = text;
        rig.view.set_all(ChannelLook::Released);
        rig.controller.energise_all();
        rig.controller.toggle_channel(2);
        rig.controller.write_address();
        QVERIFY(!rig.controller.pending_command());
        QCOMPARE(rig.tick(), QString());
        rig.status_reply(0, 0xFF, 0xFF);  // board 0 must not be taken for it
        QCOMPARE(rig.view.look(2), ChannelLook::Unknown);
        QVERIFY(rig.view.m_unusable.contains(text));
    }

    void roundingFollowsHalfToEven_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("frame");
        QTest::newRow("1.5 polls 2") << "1.5"
                                     << "55 02 10 00 00 00 00 67";
        QTest::newRow("2.5 polls 2") << "2.5"
                                     << "55 02 10 00 00 00 00 67";
    }
    void roundingFollowsHalfToEven() {
        QFETCH(QString, text);
        QFETCH(QString, frame);
        Rig rig;
        rig.view.m_address_text = text;
        QCOMPARE(rig.tick(), frame);
    }

    void readAddressIgnoresUnusableAddressText() {
        Rig rig;
        rig.view.m_address_text = "abc";
        rig.controller.read_address();
        QCOMPARE(rig.tick(), QString("55 F5 40 00 00 00 00 8A"));
    }
};

QTEST_APPLESS_MAIN(TestBoardController)
#include "test_board_controller.moc"
