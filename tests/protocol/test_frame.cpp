#include "protocol/frame.h"
#include "support/frame_bytes.h"

#include <QtTest>

using namespace relay;
using relay::testing::frame_from_hex;
using relay::testing::frame_to_hex;

class TestFrame : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void sendFrameHandsOverWholeFrameWithWrappedChecksum() {
        QStringList written;
        const FrameWriter writer = [&](const Frame& f) { written << frame_to_hex(f); };
        send_frame(writer, 1, cmd::SwitchAll, AllOn, AllOn);
        send_frame(writer, ServiceAddress, cmd::WriteAddress, 0, 7);
        send_frame(FrameWriter{}, 1, cmd::Status, 0, 0);  // no port: harmless
        QCOMPARE(written, QStringList({"55 01 13 00 00 FF FF 67", "55 F5 41 00 00 00 07 92"}));
    }

    void replyValidity_data() {
        QTest::addColumn<QString>("bytes");
        QTest::addColumn<bool>("valid");
        QTest::newRow("status reply") << "22 01 10 00 00 00 05 38" << true;
        QTest::newRow("bad checksum") << "22 01 10 00 00 00 05 39" << false;
        QTest::newRow("command echo") << "55 01 10 00 00 00 05 6B" << false;
        QTest::newRow("sum wraps") << "22 02 10 00 00 FF FF 32" << true;
        QTest::newRow("bytes 3 and 4 count") << "22 01 10 01 00 00 00 33" << false;
        QTest::newRow("all zero") << "00 00 00 00 00 00 00 00" << false;
    }
    void replyValidity() {
        QFETCH(QString, bytes);
        QFETCH(bool, valid);
        QCOMPARE(check_reply(frame_from_hex(bytes.toLatin1().constData())), valid);
    }

    void bitsComeFromTheLeastSignificantEnd() {
        QCOMPARE(QList<int>({get_bit(0x05, 0), get_bit(0x05, 1), get_bit(0x05, 2), get_bit(0x80, 7),
                             get_bit(0x7F, 7)}),
                 QList<int>({1, 0, 1, 1, 0}));
    }
};

QTEST_APPLESS_MAIN(TestFrame)
#include "test_frame.moc"
