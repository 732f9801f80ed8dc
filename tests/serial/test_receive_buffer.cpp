#include "serial/receive_buffer.h"
#include "support/frame_bytes.h"

#include <QtTest>

using namespace relay;
using relay::testing::frame_to_hex;

class TestReceiveBuffer : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Each arrival is a hex string; "purge" empties the buffer. The result lists,
    // per arrival, the group handed over ("-" for none).
    void oneGroupPerArrival_data() {
        QTest::addColumn<QStringList>("arrivals");
        QTest::addColumn<QStringList>("groups");
        QTest::addColumn<int>("left");
        QTest::newRow("whole reply")
            << QStringList{"2201100000000538"} << QStringList{"22 01 10 00 00 00 05 38"} << 0;
        QTest::newRow("split reply waits for its rest")
            << QStringList{"220110", "0000000538"} << QStringList{"-", "22 01 10 00 00 00 05 38"}
            << 0;
        QTest::newRow("sixteen at once give one group, the rest on the next arrival")
            << QStringList{"22011000000005382207400000000069", "AA"}
            << QStringList{"22 01 10 00 00 00 05 38", "22 07 40 00 00 00 00 69"} << 1;
        QTest::newRow("stale byte shifts the group until a purge")
            << QStringList{"00", "2201100000000538", "purge", "2201100000000538"}
            << QStringList{"-", "00 22 01 10 00 00 00 05", "-", "22 01 10 00 00 00 05 38"} << 0;
        QTest::newRow("fewer than eight never go out")
            << QStringList{"22", "01", "10"} << QStringList{"-", "-", "-"} << 3;
    }
    void oneGroupPerArrival() {
        QFETCH(QStringList, arrivals);
        QFETCH(QStringList, groups);
        QFETCH(int, left);
        ReceiveBuffer buffer;
        QStringList handed;
        for (const QString& arrival : arrivals) {
            if (arrival == "purge") {
                buffer.discard();
                handed << "-";
                continue;
            }
            const auto group = buffer.arrive(QByteArray::fromHex(arrival.toLatin1()));
            handed << (group ? frame_to_hex(*group) : QStringLiteral("-"));
        }
        QCOMPARE(handed, groups);
        QCOMPARE(buffer.waiting(), qsizetype(left));
    }

    void floodBeyondCapacityIsCutNotGrown() {
        ReceiveBuffer buffer;
        const QByteArray flood(3 * ReceiveBuffer::Capacity, '\x22');
        QVERIFY(buffer.arrive(flood));
        QCOMPARE(buffer.waiting(), ReceiveBuffer::Capacity - 8);
    }
};

QTEST_APPLESS_MAIN(TestReceiveBuffer)
#include "test_receive_buffer.moc"
