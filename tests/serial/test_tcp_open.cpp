#include "serial/tcp_serial_port.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <optional>

#include "support/processes.h"
#include "support/table.h"

using namespace relay;
using relay::testing::Patience;
using relay::testing::row;

namespace {

constexpr int TickMs = 50;

// The far end of a tcp: line on loopback.
constexpr int Accepting = 0, NotListening = 1, DroppingRequests = 2;

struct FarEnd {
    QTcpServer server;
    std::optional<relay::testing::DroppingPort> dropping;
    int port = 0;

    explicit FarEnd(int far) {
        if (far == Accepting) {
            server.listen(QHostAddress::LocalHost);
            port = server.serverPort();
            return;
        }
        if (far == NotListening) {
            port = relay::testing::free_port();
            return;
        }
        dropping.emplace();
        port = dropping->port();
    }
    QString address() const { return QString("tcp:127.0.0.1:%1").arg(port); }
};

}  // namespace

class TestTcpOpen : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // That relayd serves meanwhile is relayd's own test.
    void theOutcomeComesLater_data() {
        QTest::addColumn<int>("far");
        QTest::addColumn<QString>("failure");  // empty: opened
        row("listener", Accepting, QString());
        row("nothing listening", NotListening, QString("connection refused"));
        row("connection requests dropped", DroppingRequests, QString("no answer within 2000 ms"));
    }
    void theOutcomeComesLater() {
        QFETCH(int, far);
        QFETCH(QString, failure);
        FarEnd end(far);
        QVERIFY(end.port > 0);
        TcpSerialPort line;
        QSignalSpy opened(&line, &SerialPort::line_opened);
        QSignalSpy failed(&line, &SerialPort::open_failed);
        line.open_line_async(end.address());
        QVERIFY(opened.isEmpty() && failed.isEmpty());  // the outcome comes later
        QVERIFY(QTest::qWaitFor([&] { return !opened.isEmpty() || !failed.isEmpty(); }, Patience));
        if (failure.isEmpty()) {
            QCOMPARE(opened.count(), 1);
            QVERIFY(line.is_open());
            QCOMPARE(line.device(), end.address());
        } else {
            QCOMPARE(failed.count(), 1);
            QCOMPARE(failed.at(0).at(0).toString(),
                     QString("cannot connect to 127.0.0.1:%1: %2").arg(end.port).arg(failure));
            QVERIFY(!line.is_open());
        }
        QTest::qWait(4 * TickMs);
        QCOMPARE(opened.count() + failed.count(), 1);
    }

    void aCloseGivesUpTheAttempt() {
        FarEnd end(DroppingRequests);
        TcpSerialPort line;
        QSignalSpy opened(&line, &SerialPort::line_opened);
        QSignalSpy failed(&line, &SerialPort::open_failed);
        line.open_line_async(end.address());
        QTest::qWait(TickMs);
        line.close();
        QTest::qWait(TcpSerialPort::ConnectTimeoutMs + 500);
        QVERIFY(opened.isEmpty() && failed.isEmpty());
        QVERIFY(!line.is_open());
    }
};

QTEST_GUILESS_MAIN(TestTcpOpen)
#include "test_tcp_open.moc"
