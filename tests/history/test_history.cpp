#include "history/history_reader.h"
#include "history/history_writer.h"
#include "history/runtime_counters.h"
#include "support/table.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdio>

#include <sys/resource.h>

using namespace relay;
using relay::testing::row;

namespace {

constexpr std::int64_t T0 = 1'800'000'000'000;  // 2027-01-15

// "t:channel:ON|OFF:kind[:detail[:user]]", t in seconds after T0, board 1.
HistoryBatch changes_of(const QStringList& rows) {
    HistoryBatch batch;
    for (const QString& text : rows) {
        const QStringList f = text.split(':');
        batch.changes.push_back({T0 + f[0].toLongLong() * 1000,
                                 1,
                                 f[1].toInt(),
                                 f[2] == "ON",
                                 {f[3], f.value(4), f.value(5)}});
    }
    return batch;
}

QStringList shown(const std::vector<ChangeRow>& rows) {
    QStringList out;
    for (const ChangeRow& r : rows) {
        out << QStringLiteral("%1:%2:%3:%4%5%6")
                   .arg((r.t - T0) / 1000)
                   .arg(r.channel)
                   .arg(r.on ? "ON" : "OFF", r.cause.kind,
                        r.cause.detail.isNull() ? QString() : ":" + r.cause.detail,
                        r.cause.user.isNull() ? QString() : ":" + r.cause.user);
    }
    return out;
}

// The child of the kill and full-disk cases: writes batches of one change
// through the writer and says each committed one; with a file size limit it
// goes on after the writes fail.
int child(const QString& path, std::int64_t size_limit) {
    if (size_limit > 0) {
        std::signal(SIGXFSZ, SIG_IGN);  // a write beyond it fails instead of killing
        const rlimit limit{static_cast<rlim_t>(size_limit), static_cast<rlim_t>(size_limit)};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    HistoryWriter writer({path}, [](const QString& line) {
        std::printf("log %s\n", qPrintable(line));
        std::fflush(stdout);
    });
    std::map<HistoryStore::Channel, HistoryStore::Totals> totals;
    QString error;
    if (!writer.open(&totals, &error)) {
        std::printf("cannot open: %s\n", qPrintable(error));
        return 1;
    }
    for (int i = 1; i <= 20000; ++i) {
        HistoryBatch batch = changes_of(
            {QStringLiteral("%1:3:%2:mqtt:relay/t/1/3/set").arg(i).arg(i % 2 ? "ON" : "OFF")});
        batch.runtime.push_back({1, 3, "2027-01-15", 1, 1000});
        writer.add(std::move(batch));
        if (!QTest::qWaitFor([&] { return writer.pending() == 0 || writer.failed_writes(); },
                             5000)) {
            return 2;
        }
        if (writer.failed_writes() == 0) {
            std::printf("committed %d\n", i);
            std::fflush(stdout);
        } else if (i > 200) {
            std::printf("went on\n");
            return 0;
        }
    }
    return 0;
}

}  // namespace

class TestHistory : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString path(const char* name) const { return m_dir.filePath(name); }

private Q_SLOTS:
    void rowsAreReadBackByTheFilters_data() {
        QTest::addColumn<QString>("query");  // "channel source user from to limit"
        QTest::addColumn<QStringList>("changes");
        QTest::addColumn<QString>("initial");  // channels 1..4 at from: 1 ON, 0 OFF, - unknown
        QTest::addColumn<bool>("truncated");
        const QString all = "0 - - 0 100 1000";
        row("everything, in time order, with causes", all,
            QStringList{"5:1:ON:seen", "5:3:OFF:seen", "10:3:ON:mqtt:relay/t/1/3/set",
                        "20:1:OFF:web:/api/boards/1/channels/1:ann", "30:3:OFF:pulse:pulse ended",
                        "40:2:ON:master"},
            "----", false);
        row("one channel", "3 - - 0 100 1000",
            QStringList{"5:3:OFF:seen", "10:3:ON:mqtt:relay/t/1/3/set",
                        "30:3:OFF:pulse:pulse ended"},
            "----", false);
        row("one source", "0 web - 0 100 1000",
            QStringList{"20:1:OFF:web:/api/boards/1/channels/1:ann"}, "----", false);
        row("one user", "0 - ann 0 100 1000",
            QStringList{"20:1:OFF:web:/api/boards/1/channels/1:ann"}, "----", false);
        row("from a time: the state each channel had then", "0 - - 15 35 1000",
            QStringList{"20:1:OFF:web:/api/boards/1/channels/1:ann", "30:3:OFF:pulse:pulse ended"},
            "1-1-", false);
        row("a limit cuts and says so", "0 - - 0 100 2", QStringList{"5:1:ON:seen", "5:3:OFF:seen"},
            "----", true);
    }
    void rowsAreReadBackByTheFilters() {
        QFETCH(QString, query);
        QFETCH(QStringList, changes);
        QFETCH(QString, initial);
        QFETCH(bool, truncated);
        const QString file = path("filters.sqlite");
        if (!QFile::exists(file)) {
            HistoryStore store(file);
            QString error;
            HistoryBatch batch =
                changes_of({"5:1:ON:seen", "5:3:OFF:seen", "10:3:ON:mqtt:relay/t/1/3/set",
                            "20:1:OFF:web:/api/boards/1/channels/1:ann",
                            "30:3:OFF:pulse:pulse ended", "40:2:ON:master"});
            batch.commands.push_back({T0 + 20000,
                                      1,
                                      0x1,
                                      "OFF",
                                      {"web", "/api/boards/1/channels/1", "ann"},
                                      "verified",
                                      {}});
            QVERIFY2(store.open(&error) && store.write(batch, &error), qPrintable(error));
        }
        HistoryReader reader(file);
        QString error;
        QVERIFY2(reader.open(&error), qPrintable(error));
        const QStringList q = query.split(' ');
        HistoryQuery wanted;
        wanted.board = 1;
        wanted.channel = q[0].toInt();
        wanted.source = q[1] == "-" ? QString() : q[1];
        wanted.user = q[2] == "-" ? QString() : q[2];
        wanted.from_ms = T0 + q[3].toLongLong() * 1000;
        wanted.to_ms = T0 + q[4].toLongLong() * 1000;
        wanted.limit = q[5].toInt();
        const HistoryAnswer answer = reader.history(wanted);
        QVERIFY2(answer.error.isEmpty(), qPrintable(answer.error));
        QCOMPARE(shown(answer.changes), changes);
        QString states;
        for (int channel = 1; channel <= 4; ++channel) {
            const auto& s = answer.initial[std::size_t(channel - 1)];
            states += !s ? '-' : *s ? '1' : '0';
        }
        QCOMPARE(states, initial);
        QCOMPARE(answer.truncated, truncated);
    }

    void aKillWhileWritingKeepsEveryCommittedRow() {
        const QString file = path("killed.sqlite");
        QProcess writer;
        writer.setProcessEnvironment([&] {
            auto env = QProcessEnvironment::systemEnvironment();
            env.insert("RELAY_HISTORY_CHILD", file);
            return env;
        }());
        writer.start(QCoreApplication::applicationFilePath(), {});
        int committed = 0;
        QVERIFY(QTest::qWaitFor(
            [&] {
                const QStringList said = QString(writer.readAllStandardOutput()).split('\n');
                for (const QString& line : said) {
                    if (line.startsWith("committed "))
                        committed = line.mid(10).toInt();
                }
                return committed >= 300;
            },
            30000));
        ::kill(pid_t(writer.processId()), SIGKILL);
        writer.waitForFinished();
        HistoryStore store(file);
        QString error;
        QVERIFY2(store.open(&error), qPrintable(error));
        HistoryReader reader(file);
        QVERIFY(reader.open(&error));
        HistoryQuery all;
        all.board = 1;
        all.from_ms = T0;
        all.to_ms = T0 + 100'000'000;
        all.limit = 100000;
        const auto rows = reader.history(all).changes;
        QVERIFY2(int(rows.size()) >= committed, qPrintable(QString::number(rows.size())));
        const auto totals = store.totals()[{1, 3}];
        QCOMPARE(totals.switches, std::int64_t(rows.size()));  // one transaction for both
    }

    void pruningGoesByAgeThenBySize() {
        HistoryStore store(path("pruned.sqlite"));
        QString error;
        QVERIFY(store.open(&error));
        const std::int64_t day = HistoryStore::OneDayMs;
        for (int d = 0; d < 20; ++d) {
            HistoryBatch batch;
            for (int i = 0; i < 2000; ++i) {
                batch.changes.push_back(
                    {T0 + d * day + i * 1000,
                     1 + i % 4,
                     1 + i % 16,
                     i % 2 == 0,
                     {"mqtt", QStringLiteral("relay/t/%1/set").arg(i % 4), {}}});
            }
            batch.commands.push_back({T0 + d * day, 1, 1, "ON", {"mqtt", "x", {}}, "verified", {}});
            QVERIFY(store.write(batch, &error));
        }
        QVERIFY(store.prune_before(T0 + 5 * day, &error));
        HistoryReader reader(store.path());
        QVERIFY(reader.open(&error));
        HistoryQuery all;
        all.board = 1;
        all.from_ms = 0;
        all.to_ms = T0 + 30 * day;
        all.limit = 10000;
        QCOMPARE(reader.history(all).changes.front().t, T0 + 5 * day);
        const std::int64_t before = store.used_bytes();
        QVERIFY(store.prune_to_size(before / 2, &error));
        QVERIFY(store.used_bytes() <= before / 2);
        const auto kept = reader.history(all);
        QVERIFY(kept.changes.front().t >= T0 + 10 * day);              // the oldest days went
        QCOMPARE(kept.changes.back().t, T0 + 19 * day + 1996 * 1000);  // the newest stayed
    }

    void aFullDiskIsToldOnceAndWritingGoesOn() {
        const QString file = path("full.sqlite");
        QProcess writer;
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("RELAY_HISTORY_CHILD", file);
        env.insert("RELAY_HISTORY_LIMIT", "200000");  // bytes a file may have
        writer.setProcessEnvironment(env);
        writer.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(writer.waitForFinished(60000));
        const QString said = writer.readAllStandardOutput();
        QCOMPARE(writer.exitCode(), 0);
        QVERIFY2(said.contains("went on"), qPrintable(said.right(500)));
        QCOMPARE(said.count("log history: cannot write"), 1);
    }

    void energisedTimeCountsOnlyWhatRepliesConfirm() {
        RuntimeCounters counters{QTimeZone::utc()};
        counters.load({{{1, 2}, {5, 1000}}});        // kept from before
        counters.changed(1, 3, true, false, 0, T0);  // seen ON: from now, not a switch
        counters.confirmed(1, 500, T0 + 500);
        counters.stopped(1);  // silent: nothing counts
        counters.confirmed(1, 5000, T0 + 5000);
        counters.resumed(1, 6000);  // answering again, still ON
        counters.changed(1, 3, false, true, 6400, T0 + 6400);
        counters.changed(1, 2, true, true, 7000, T0 + 7000);
        counters.confirmed(1, 7300, T0 + 7300);
        QCOMPARE(counters.totals(1, 3).energised_ms, std::int64_t(900));
        QCOMPARE(counters.totals(1, 3).switches, std::int64_t(1));
        QCOMPARE(counters.totals(1, 2).energised_ms, std::int64_t(1300));
        QCOMPARE(counters.totals(1, 2).switches, std::int64_t(6));
        std::int64_t day = 0;
        for (const RuntimeDelta& delta : counters.take_deltas())
            day += delta.energised_ms;
        QCOMPARE(day, std::int64_t(1200));  // what was added, not what was loaded
    }
};

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet("RELAY_HISTORY_CHILD")) {
        return child(qEnvironmentVariable("RELAY_HISTORY_CHILD"),
                     qEnvironmentVariable("RELAY_HISTORY_LIMIT").toLongLong());
    }
    TestHistory test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_history.moc"
