#include "protocol/frame.h"
#include "support/frame_bytes.h"

#include <QtTest>

#include <vector>

using namespace relay;
using relay::testing::frame_from_hex;
using relay::testing::frame_to_hex;

class TestFrame : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void sentFrameMatchesKnownBytes_data() {
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("command");
        QTest::addColumn<int>("data1");
        QTest::addColumn<int>("data2");
        QTest::addColumn<QString>("expected");
        QTest::newRow("status to 1") << 1 << 0x10 << 0 << 0 << "55 01 10 00 00 00 00 66";
        QTest::newRow("status to 255") << 255 << 0x10 << 0 << 0 << "55 FF 10 00 00 00 00 64";
        QTest::newRow("release 3") << 1 << 0x11 << 0 << 3 << "55 01 11 00 00 00 03 6A";
        QTest::newRow("energise 16") << 1 << 0x12 << 0 << 16 << "55 01 12 00 00 00 10 78";
        QTest::newRow("energise all wraps")
            << 1 << 0x13 << 0xFF << 0xFF << "55 01 13 00 00 FF FF 67";
        QTest::newRow("release all") << 1 << 0x13 << 0 << 0 << "55 01 13 00 00 00 00 69";
        QTest::newRow("read address") << 0xF5 << 0x40 << 0 << 0 << "55 F5 40 00 00 00 00 8A";
        QTest::newRow("write address 7") << 0xF5 << 0x41 << 0 << 7 << "55 F5 41 00 00 00 07 92";
    }
    void sentFrameMatchesKnownBytes() {
        QFETCH(int, address);
        QFETCH(int, command);
        QFETCH(int, data1);
        QFETCH(int, data2);
        QFETCH(QString, expected);
        std::vector<Frame> written;
        send_frame([&](const Frame& f) { written.push_back(f); }, std::uint8_t(address),
                   std::uint8_t(command), std::uint8_t(data1), std::uint8_t(data2));
        QCOMPARE(written.size(), std::size_t(1));
        QCOMPARE(frame_to_hex(written.front()), expected);
    }

    void sendWithoutWriterIsHarmless() { send_frame(FrameWriter{}, 1, cmd::Status, 0, 0); }

    void replyValidity_data() {
        QTest::addColumn<QString>("bytes");
        QTest::addColumn<bool>("valid");
        QTest::newRow("status reply") << "22 01 10 00 00 00 05 38" << true;
        QTest::newRow("bad checksum") << "22 01 10 00 00 00 05 39" << false;
        QTest::newRow("command echo") << "55 01 10 00 00 00 05 6B" << false;
        QTest::newRow("address reply") << "22 07 40 00 00 00 00 69" << true;
        QTest::newRow("all set wraps") << "22 02 10 00 00 FF FF 32" << true;
        QTest::newRow("bytes 3 and 4 count") << "22 01 10 01 00 00 00 33" << false;
        QTest::newRow("all zero") << "00 00 00 00 00 00 00 00" << false;
    }
    void replyValidity() {
        QFETCH(QString, bytes);
        QFETCH(bool, valid);
        QCOMPARE(check_reply(frame_from_hex(bytes.toLatin1().constData())), valid);
    }

    void bitsComeFromTheLeastSignificantEnd_data() {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("n");
        QTest::addColumn<int>("bit");
        QTest::newRow("05 bit 0") << 0x05 << 0 << 1;
        QTest::newRow("05 bit 1") << 0x05 << 1 << 0;
        QTest::newRow("05 bit 2") << 0x05 << 2 << 1;
        QTest::newRow("80 bit 7") << 0x80 << 7 << 1;
        QTest::newRow("7F bit 7") << 0x7F << 7 << 0;
    }
    void bitsComeFromTheLeastSignificantEnd() {
        QFETCH(int, value);
        QFETCH(int, n);
        QFETCH(int, bit);
        QCOMPARE(get_bit(std::uint8_t(value), n), bit);
    }
};

QTEST_APPLESS_MAIN(TestFrame)
#include "test_frame.moc"
