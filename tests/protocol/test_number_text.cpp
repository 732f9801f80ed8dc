#include "protocol/number_text.h"

#include <QtTest>

using namespace relay;

class TestNumberText : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void addressFromText_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("address");  // -1: no board
        QTest::newRow("1") << "1" << 1;
        QTest::newRow("256 is board 0") << "256" << 0;
        QTest::newRow("257 is board 1") << "257" << 1;
        QTest::newRow("leading zero") << "07" << 7;
        QTest::newRow("blanks around") << " 12 " << 12;
        QTest::newRow("half rounds to even, down") << "2.5" << 2;
        QTest::newRow("half rounds to even, up") << "1.5" << 2;
        QTest::newRow("minus 256 is board 0") << "-256" << 0;
        QTest::newRow("minus 1") << "-1" << -1;
        QTest::newRow("minus half rounds to zero") << "-0.5" << 0;
        QTest::newRow("letters") << "abc" << -1;
        QTest::newRow("trailing letters") << "12a" << -1;
        QTest::newRow("empty") << "" << -1;
        QTest::newRow("int32 max") << "2147483647" << 255;
        QTest::newRow("above int32") << "2147483648" << -1;
        QTest::newRow("int32 min") << "-2147483648" << 0;
        QTest::newRow("below int32") << "-2147483904" << -1;
        QTest::newRow("infinity") << "inf" << -1;
        QTest::newRow("not a number") << "nan" << -1;
    }
    void addressFromText() {
        QFETCH(QString, text);
        QFETCH(int, address);
        const auto result = address_from_text(text);
        if (address < 0) {
            QVERIFY2(!result, qPrintable(QString::number(result.value_or(0))));
        } else {
            QVERIFY(result);
            QCOMPARE(int(*result), address);
        }
    }

    void portNumberIsSigned16Bit_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("number");
        QTest::newRow("3") << "3" << true << 3;
        QTest::newRow("32767") << "32767" << true << 32767;
        QTest::newRow("-32768") << "-32768" << true << -32768;
        QTest::newRow("70000") << "70000" << false << 0;
        QTest::newRow("abc") << "abc" << false << 0;
    }
    void portNumberIsSigned16Bit() {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(int, number);
        const auto result = port_number_from_text(text);
        QCOMPARE(bool(result), valid);
        if (valid) {
            QCOMPARE(int(*result), number);
        }
    }
};

QTEST_APPLESS_MAIN(TestNumberText)
#include "test_number_text.moc"
