#include "protocol/frame.h"
#include "support/frame_bytes.h"
#include "tools/sim_options.h"
#include "tools/virtual_line.h"

#include <QtTest>

using namespace relay;
using relay::testing::frame_from_hex;

Q_DECLARE_METATYPE(relay::FaultPlan)

namespace {

QByteArray hex(const QString& text) {
    return QByteArray::fromHex(text.toLatin1());
}

QString hex_of(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

// Every write as "<delay> <bytes>".
QStringList writes_of(const LineTraffic& traffic) {
    QStringList writes;
    for (const LineWrite& write : traffic.writes) {
        writes.append(QStringLiteral("%1 %2").arg(write.delay_ms).arg(hex_of(write.bytes)));
    }
    return writes;
}

QString line_out(VirtualLine& line, const QString& in, qint64 now_ms = 0) {
    QByteArray out;
    for (const LineWrite& write : line.receive(hex(in), now_ms).writes) {
        out += write.bytes;
    }
    return hex_of(out);
}

const QString Status = QStringLiteral("55 01 10 00 00 00 00 66");
const QString Idle = QStringLiteral("22 01 10 00 00 00 00 33");

}  // namespace

class TestVirtualLine : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void boardAnswersLikeABoard_data() {
        QTest::addColumn<int>("channels");
        QTest::addColumn<QString>("in");
        QTest::addColumn<QString>("out");
        QTest::newRow("status") << 0x0A5F << Status << "22 01 10 00 00 0A 5F 9C";
        QTest::newRow("release channel 1") << 0x0001 << "55 01 11 00 00 00 01 68"
                                           << "22 01 11 00 00 00 00 34";
        QTest::newRow("energise channel 16") << 0x0000 << "55 01 12 00 00 00 10 78"
                                             << "22 01 12 00 00 80 00 B5";
        QTest::newRow("energise all") << 0x0000 << "55 01 13 00 00 FF FF 67"
                                      << "22 01 13 00 00 FF FF 34";
        QTest::newRow("release all") << 0xFFFF << "55 01 13 00 00 00 00 69"
                                     << "22 01 13 00 00 00 00 36";
        QTest::newRow("mixed switch-all data changes nothing")
            << 0x0000 << "55 01 13 00 00 FF 00 68"
            << "22 01 13 00 00 00 00 36";
        QTest::newRow("channel 0 changes nothing") << 0x0A5F << "55 01 12 00 00 00 00 68"
                                                   << "22 01 12 00 00 0A 5F 9E";
        QTest::newRow("read address") << 0x0A5F << "55 F5 40 00 00 00 00 8A"
                                      << "22 01 40 00 00 0A 5F CC";
        QTest::newRow("write address, then only the new one answers")
            << 0x0000 << "55 F5 41 00 00 00 07 92" + Status + "55 07 10 00 00 00 00 6C"
            << "22 07 41 00 00 00 00 6A 22 07 10 00 00 00 00 39";
        QTest::newRow("other address") << 0x0000 << "55 02 10 00 00 00 00 67"
                                       << "";
        QTest::newRow("bad checksum") << 0x0000 << "55 01 10 00 00 00 00 67"
                                      << "";
        QTest::newRow("unknown command") << 0x0000 << "55 01 20 00 00 00 00 76"
                                         << "";
        QTest::newRow("a reply is no command") << 0x0000 << "22 01 10 00 00 00 05 38"
                                               << "";
        QTest::newRow("noise before the frame") << 0x0000 << "00 FF 22 " + Status << Idle;
        QTest::newRow("bad frame, then a good one")
            << 0x0000 << "55 01 10 00 00 00 00 67" + Status << Idle;
    }
    void boardAnswersLikeABoard() {
        QFETCH(int, channels);
        QFETCH(QString, in);
        QFETCH(QString, out);
        VirtualLine line({VirtualBoard(1, static_cast<std::uint16_t>(channels))}, {});
        QCOMPARE(line_out(line, in), out);
    }

    void faultsShapeTheReplies_data() {
        QTest::addColumn<FaultPlan>("faults");
        QTest::addColumn<QStringList>("writes");
        const QString corrupted = QStringLiteral("22 01 10 00 00 00 00 CC");
        FaultPlan drop;
        drop.drop_every = 2;
        QTest::newRow("drop every 2nd") << drop << QStringList{"0 " + Idle, "0 " + Idle};
        FaultPlan corrupt;
        corrupt.corrupt_every = 2;
        QTest::newRow("corrupt every 2nd")
            << corrupt << QStringList{"0 " + Idle, "0 " + corrupted, "0 " + Idle};
        FaultPlan noise;
        noise.noise_every = 3;
        QTest::newRow("noise before every 3rd")
            << noise << QStringList{"0 " + Idle, "0 " + Idle, "0 00 " + Idle};
        FaultPlan split;
        split.split_every = 3;
        split.split_gap_ms = 30;
        split.delay_ms = 100;
        QTest::newRow("split every 3rd, delayed")
            << split
            << QStringList{"100 " + Idle, "100 " + Idle, "100 22 01 10", "130 00 00 00 00 33"};
        FaultPlan silent;
        silent.silent = true;
        QTest::newRow("silent") << silent << QStringList{};
    }
    void faultsShapeTheReplies() {
        QFETCH(FaultPlan, faults);
        QFETCH(QStringList, writes);
        VirtualLine line({VirtualBoard(1)}, faults);
        QStringList got;
        for (int i = 0; i < 3; ++i) {
            got += writes_of(line.receive(hex(Status), i * 200));
        }
        QCOMPARE(got, writes);
    }

    void silentBoardDoesNotActEither() {
        FaultPlan faults;
        faults.silent = true;
        VirtualLine line({VirtualBoard(1)}, faults);
        QCOMPARE(line_out(line, "55 01 13 00 00 FF FF 67"), QString());
        line.set_silent(false);
        QCOMPARE(line_out(line, Status), Idle);
    }

    void partialFrameIsForgottenAfterAGap() {
        VirtualLine line({VirtualBoard(1)}, {});
        QCOMPARE(line_out(line, "55 01 10", 0), QString());
        QCOMPARE(line_out(line, Status, VirtualLine::FrameGapMs + 50), Idle);
    }

    void frameInPiecesWithinTheGapIsAnswered() {
        VirtualLine line({VirtualBoard(1)}, {});
        QCOMPARE(line_out(line, "55 01 10 00", 0), QString());
        QCOMPARE(line_out(line, "00 00 00 66", 5), Idle);
    }

    void onlyTheAddressedBoardAnswers() {
        VirtualLine line({VirtualBoard(1), VirtualBoard(2)}, {});
        QCOMPARE(line_out(line, "55 02 10 00 00 00 00 67"), QString("22 02 10 00 00 00 00 34"));
    }

    void addressServiceRepliesOfSeveralBoardsCollide() {
        VirtualLine line({VirtualBoard(1), VirtualBoard(2)}, {});
        const QString out = line_out(line, "55 F5 40 00 00 00 00 8A");
        QCOMPARE(out, QString("22 00 40 00 00 00 00 60"));
        QVERIFY(!check_reply(frame_from_hex(out.toLatin1().constData())));
    }

    void writeAddressReachesEveryBoardOnTheLine() {
        VirtualLine line({VirtualBoard(1), VirtualBoard(2)}, {});
        line_out(line, "55 F5 41 00 00 00 05 90");
        QCOMPARE(line.boards().at(0).address(), std::uint8_t(5));
        QCOMPARE(line.boards().at(1).address(), std::uint8_t(5));
    }

    void optionsAreRead_data() {
        QTest::addColumn<QString>("args");
        QTest::addColumn<QString>("read");
        const QString defaults = QStringLiteral("boards 1 state 0000 faults 0 0 0 0 0 20 0 log 0");
        QTest::newRow("defaults") << "" << defaults;
        QTest::newRow("state") << "--state 0A5F"
                               << "boards 1 state 0a5f faults 0 0 0 0 0 20 0 log 0";
        QTest::newRow("address") << "--address 7"
                                 << "boards 7 state 0000 faults 0 0 0 0 0 20 0 log 0";
        QTest::newRow("boards") << "--boards 1,2,255"
                                << "boards 1,2,255 state 0000 faults 0 0 0 0 0 20 0 log 0";
        QTest::newRow("faults")
            << "--drop 2 --corrupt 3 --split 4 --noise 5 --delay 60 --split-gap 7 --silent --log"
            << "boards 1 state 0000 faults 2 3 4 5 60 7 1 log 1";
        QTest::newRow("state needs 4 digits") << "--state A5F"
                                              << "error";
        QTest::newRow("state needs hex") << "--state 0G5F"
                                         << "error";
        QTest::newRow("address above a byte") << "--address 256"
                                              << "error";
        QTest::newRow("address and boards") << "--address 2 --boards 1,2"
                                            << "error";
        QTest::newRow("empty board in list") << "--boards 1,,2"
                                             << "error";
        QTest::newRow("every 0th") << "--drop 0"
                                   << "error";
        QTest::newRow("stray argument") << "com1"
                                        << "error";
    }
    void optionsAreRead() {
        QFETCH(QString, args);
        QFETCH(QString, read);
        QStringList arguments{QStringLiteral("relay-board-sim")};
        arguments += args.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        QString error;
        const auto options = parse_sim_options(arguments, &error);
        if (!options) {
            QCOMPARE(QStringLiteral("error"), read);
            QVERIFY(!error.isEmpty());
            return;
        }
        QStringList boards;
        for (const auto address : options->addresses) {
            boards.append(QString::number(address));
        }
        const FaultPlan& f = options->faults;
        const QString got = QStringLiteral("boards %1 state %2 faults %3 %4 %5 %6 %7 %8 %9 log %10")
                                .arg(boards.join(','))
                                .arg(options->channels, 4, 16, QLatin1Char('0'))
                                .arg(f.drop_every)
                                .arg(f.corrupt_every)
                                .arg(f.split_every)
                                .arg(f.noise_every)
                                .arg(f.delay_ms)
                                .arg(f.split_gap_ms)
                                .arg(int(f.silent))
                                .arg(int(options->log));
        QCOMPARE(got, read);
    }
};

QTEST_GUILESS_MAIN(TestVirtualLine)
#include "test_virtual_line.moc"
