#include "schedule/scheduler.h"
#include "support/table.h"

#include <QtTest>

#include <QRandomGenerator>

#include <functional>
#include <memory>
#include <set>

using namespace relay;
using relay::testing::row;

namespace {

// " on=3 off=1,2": what a command does.
QString command_text(const ChannelCommand& c) {
    QString what;
    for (const ChannelAction& a : channel_actions(c)) {
        what += QStringLiteral(" %1=%2").arg(a.word, a.channels == 0xFFFF
                                                         ? QStringLiteral("1-16")
                                                         : channel_text(a.channels).remove(' '));
    }
    return what;
}

// A schedule driven by hand: relayd's wakes at the scheduler's own times,
// its state kept as relayd would keep it, and what ran in one transcript.
struct Clock {
    QTimeZone zone;
    std::optional<Location> where;
    std::vector<ScheduleEntry> entries;
    std::unique_ptr<Scheduler> scheduler;
    std::map<QString, Scheduler::Kept> disk;
    qint64 wall = 0, monotonic = 0;
    bool valid = true;
    QStringList transcript;
    std::vector<std::pair<qint64, ScheduleRun>> runs;  // when, what
    std::function<void()> after_wake;

    qint64 at(const QString& text) const {
        QDateTime time = QDateTime::fromString(text, Qt::ISODate);
        if (time.timeSpec() == Qt::LocalTime) {
            time = QDateTime(time.date(), time.time(), zone);
        }
        return time.toMSecsSinceEpoch();
    }
    void boot(bool keep) {
        scheduler = std::make_unique<Scheduler>(ScheduleCalendar(LocalTime(zone), where));
        scheduler->set_entries(entries);
        if (keep) {
            scheduler->restore(disk);
            for (const auto& [name, claimed] : scheduler->uncertain()) {
                transcript << QStringLiteral("uncertain %1 %2").arg(name, shown(claimed));
            }
        }
        wake();
    }
    QString shown(qint64 ms) const {
        return QDateTime::fromMSecsSinceEpoch(ms, zone).toString("dd HH:mm:ss");
    }
    void wake() {
        static const char* const kinds[] = {"on-time", "late", "asserted", "skipped"};
        for (const ScheduleRun& run : scheduler->advance(monotonic, wall, valid)) {
            runs.emplace_back(wall, run);
            if (after_wake) {
                continue;  // a simulation: no transcript
            }
            const QString what = command_text(run.command);
            transcript << QStringLiteral("%1 %2 %3%4%5")
                              .arg(shown(wall), kinds[int(run.kind)], run.entry, what,
                                   run.skipped ? QStringLiteral(" (%1 left out)").arg(run.skipped)
                                               : QString());
        }
        disk = scheduler->kept();
        if (after_wake) {
            after_wake();
        }
    }
    void set(qint64 to) {
        monotonic += to - wall;
        wall = to;
    }
    void run_to(qint64 until) {
        while (const auto next = scheduler->next_wake_ms()) {
            if (*next > until) {
                break;
            }
            set(std::max(*next, wall));
            wake();
        }
        set(until);
        wake();
    }
    // at T | to T | step T | cut T [lost] | invalid T | stop T | mark
    void play(const QString& script) {
        for (const QString& line : script.split(';', Qt::SkipEmptyParts)) {
            const QStringList w = line.simplified().split(' ');
            const qint64 t = at(w.value(1));
            if (w[0] == "at") {
                wall = t;
                boot(false);
            } else if (w[0] == "to") {
                run_to(t);
            } else if (w[0] == "step") {
                wall = t;  // the monotonic clock goes on as it was
                wake();
            } else if (w[0] == "stop") {
                monotonic += t - wall;  // the moment of the kill: nothing more runs
                wall = t;
            } else if (w[0] == "cut") {
                monotonic += 1000;
                wall = t;
                boot(w.value(2) != "lost");
            } else if (w[0] == "mark") {
                transcript << "mark";
            } else if (w[0] == "invalid") {
                valid = false;
                wake();
                run_to(t);
                valid = true;
                wake();
            }
        }
    }
};

}  // namespace

class TestScheduler : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void entriesAreReadOrRefusedWithTheReason_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("reading");  // its next runs from Monday 4 May 2026, or why not
        row("a window on weekdays", "1:3 on from 06:00 to 06:20 mon-fri",
            "Mon 06:00 on=3|Mon 06:20 off=3|Tue 06:00 on=3");
        row("overnight at weekends", "2:1-2 on from 22:00 to 06:00 weekends edges",
            "Mon 06:00 off=1,2|Sat 22:00 on=1,2|Sun 06:00 off=1,2");
        row("the sun, with offsets", "1:4 on from sunset-30m to sunrise+1h15m",
            "Mon 06:44 off=4|Mon 20:04 on=4|Tue 06:42 off=4");
        row("a pulse at two times", "1:5 pulse 2s at 07:30,19:30:15 sat,sun late 1h",
            "Sat 07:30 pulse=5|Sat 19:30 pulse=5|Sun 07:30 pulse=5");
        row("every five hours from six", "1:6 toggle every 5h from 06:00",
            "Mon 06:00 toggle=6|Mon 11:00 toggle=6|Mon 16:00 toggle=6");
        row("all off on dates", "1:all off at 22:00 2026-05-06,2026-05-31",
            "Wed 22:00 off=1-16|Sun 22:00 off=1-16");
        row("channel 17", "1:17 on at 06:00", "refused: not BOARD:CHANNELS");
        row("no length", "1:3 on from 06:00 to 06:00", "refused: has no length");
        row("a window that is not on", "1:3 off from 06:00 to 07:00",
            "refused: only on has a window");
        row("on a momentary channel", "1:2 on from 06:00 to 07:00", "refused: momentary channel 2");
        row("an interlocked pair together", "7:1,2 on at 06:00", "refused: are interlocked");
        row("all on with interlocks", "7:all on at 06:00", "refused: all on is refused");
        row("pulse too short", "1:3 pulse 20ms at 06:00", "refused: from 50ms to 24h");
        row("pulse without a length", "1:3 pulse at 06:00", "refused: has no pulse length");
        row("25 o'clock", "1:3 on at 25:00", "refused: not a time");
        row("a board not served", "3:1 on at 06:00", "refused: board 3 is not served");
        row("a word too many", "1:3 on at 06:00 daily soon", "refused: \"soon\" is not understood");
    }
    void entriesAreReadOrRefusedWithTheReason() {
        QFETCH(QString, text);
        QFETCH(QString, reading);
        ScheduleContext context{{}, {1, 2, 7}, true};
        QString error;
        QVERIFY(add_switch_rule(context.rules, "pulse", "1:2=500", &error) &&
                add_switch_rule(context.rules, "momentary", "1:2", &error) &&
                add_switch_rule(context.rules, "interlock", "7:1+2", &error));
        const auto read = read_schedule_entry("n", text, context);
        QStringList got{"refused: " + read.refusal};
        if (read.entry) {
            const QTimeZone berlin("Europe/Berlin");
            const ScheduleCalendar calendar(LocalTime(berlin), Location{52.52, 13.40});
            got.clear();
            qint64 from = QDateTime(QDate(2026, 5, 4), QTime(0, 0), berlin).toMSecsSinceEpoch();
            for (int i = 0; i < 3; ++i) {
                const auto next = calendar.next(*read.entry, from);
                if (!next) {
                    break;
                }
                got << QLocale::c().toString(QDateTime::fromMSecsSinceEpoch(next->at_ms, berlin),
                                             "ddd HH:mm") +
                           command_text(read.entry->command(next->on));
                from = next->at_ms;
            }
        }
        QVERIFY2(reading.startsWith("refused: ") ? got.join('|').contains(reading.mid(9))
                                                 : got.join('|') == reading,
                 qPrintable(got.join('|')));
    }

    void runsFollowTheClockThroughJumpsGapsAndRestarts_data() {
        QTest::addColumn<QString>("zone");
        QTest::addColumn<QString>("entries");  // name = text; ...
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("transcript");
        row("started inside a window", "Europe/Berlin", "lamp = 1:3 on from 06:00 to 06:20",
            "at 2026-05-04T06:10; to 2026-05-05T06:30",
            "04 06:10:00 asserted lamp on=3|04 06:20:00 on-time lamp off=3|"
            "05 06:00:00 on-time lamp on=3|05 06:20:00 on-time lamp off=3");
        row("weekdays only, overnight", "Europe/Berlin",
            "heat = 1:1 on from 22:00 to 06:00 mon-fri",
            "at 2026-05-08T12:00; to 2026-05-11T12:00",  // Friday to Monday
            "08 12:00:00 asserted heat off=1|08 22:00:00 on-time heat on=1|"
            "09 06:00:00 on-time heat off=1");
        row("spring forward: a time in the gap runs after it", "Europe/Berlin",
            "feed = 1:5 pulse 2s at 02:30", "at 2026-03-28T12:00; to 2026-03-30T12:00",
            "29 03:00:00 on-time feed pulse=5|"
            "30 02:30:00 on-time feed pulse=5");
        row("fall back: a repeated time runs once", "Europe/Berlin", "feed = 1:5 on at 02:30",
            "at 2026-10-25T00:00; to 2026-10-25T02:45+02:00; mark; to 2026-10-25T12:00",
            "25 02:30:00 on-time feed on=5|mark");
        row("southern hemisphere: the gap in October", "Australia/Sydney", "feed = 1:5 on at 02:15",
            "at 2026-10-03T12:00; to 2026-10-05T12:00",
            "04 03:00:00 on-time feed on=5|05 02:15:00 on-time feed on=5");
        row("a step forward: made up once within its grace, else skipped", "Europe/Berlin",
            "a = 1:1 on at 07:10,07:30 late 1h; b = 1:2 off at 07:30",
            "at 2026-05-04T07:00; step 2026-05-04T08:00",
            "04 08:00:00 late a on=1 (1 left out)|04 08:00:00 skipped b (1 left out)");
        row("a step back: nothing runs twice, the window follows", "Europe/Berlin",
            "a = 1:1 toggle at 07:30; w = 1:2 on from 07:20 to 07:40",
            "at 2026-05-04T07:25; to 2026-05-04T07:31; step 2026-05-04T07:10; "
            "to 2026-05-04T07:45",
            "04 07:25:00 asserted w on=2|04 07:30:00 on-time a toggle=1|"
            "04 07:10:00 asserted w off=2|04 07:20:00 on-time w on=2|04 07:40:00 on-time w off=2");
        row("a power cut: kept runs made up within the grace", "Europe/Berlin",
            "a = 1:1 on at 07:30 late 2h; b = 1:2 on at 07:30; c = 1:3 on at 07:30 late 20m",
            "at 2026-05-04T07:00; cut 2026-05-04T08:00",
            "04 08:00:00 late a on=1|04 08:00:00 skipped b (1 left out)|"
            "04 08:00:00 skipped c (1 left out)");
        row("a power cut with the state lost: nothing made up", "Europe/Berlin",
            "a = 1:1 on at 07:30 late 2h; w = 1:2 on from 07:00 to 09:00",
            "at 2026-05-04T06:00; cut 2026-05-04T08:00 lost",
            "04 06:00:00 asserted w off=2|04 08:00:00 asserted w on=2");
        row("killed as it was due: claimed, so not run again", "Europe/Berlin",
            "a = 1:1 toggle at 07:30 late 1h",
            "at 2026-05-04T07:00; to 2026-05-04T07:29:59.500; stop 2026-05-04T07:29:59.900; "
            "cut 2026-05-04T07:31",
            "uncertain a 04 07:30:00");
        row("an invalid clock: windows and events wait for it", "Europe/Berlin",
            "a = 1:1 on at 07:30 late 1h; w = 1:2 on from 07:00 to 09:00",
            "at 2026-05-04T06:59; invalid 2026-05-04T07:40",
            "04 06:59:00 asserted w off=2|04 07:40:00 asserted w on=2|04 07:40:00 late a on=1");
        row("sunrise on a polar day: no event, the window on all day", "Europe/Oslo",
            "up = 1:1 on at sunrise; day = 1:2 on from sunrise to sunset",
            "at 2026-06-21T12:00; to 2026-06-22T12:00", "21 12:00:00 asserted day on=2");
    }
    void runsFollowTheClockThroughJumpsGapsAndRestarts() {
        QFETCH(QString, zone);
        QFETCH(QString, entries);
        QFETCH(QString, script);
        QFETCH(QString, transcript);
        Clock clock;
        clock.zone = QTimeZone(zone.toLatin1());
        clock.where = zone == "Europe/Oslo" ? Location{69.65, 18.96} : Location{52.52, 13.40};
        for (const QString& line : entries.split(';')) {
            const auto reading = read_schedule_entry(line.section('=', 0, 0).trimmed(),
                                                     line.section('=', 1), {{}, {}, true});
            QVERIFY2(reading.entry, qPrintable(reading.refusal));
            clock.entries.push_back(*reading.entry);
        }
        clock.play(script);
        QCOMPARE(clock.transcript.join('|'), transcript);
    }

    void tenYearsOfStepsAndCutsMissNothingAndRunNothingTwice_data() {
        QTest::addColumn<QString>("zone");
        QTest::addColumn<double>("latitude");
        QTest::addColumn<double>("longitude");
        row("Berlin", "Europe/Berlin", 52.52, 13.40);
        row("New York", "America/New_York", 40.71, -74.01);
        row("Sydney", "Australia/Sydney", -33.87, 151.21);
        row("Santiago", "America/Santiago", -33.45, -70.67);
        row("Auckland", "Pacific/Auckland", -36.85, 174.76);
    }
    void tenYearsOfStepsAndCutsMissNothingAndRunNothingTwice() {
        QFETCH(QString, zone);
        QFETCH(double, latitude);
        QFETCH(double, longitude);
        Clock clock;
        clock.zone = QTimeZone(zone.toLatin1());
        clock.where = Location{latitude, longitude};
        const char* const lines[] = {"w1 = 1:1 on from 06:00 to 06:20 weekdays",
                                     "w2 = 1:2 on from 22:30 to 05:15",
                                     "w3 = 1:3 on from sunset-30m to 23:00",
                                     "w4 = 1:4 on from 12:00 to 13:00 edges",
                                     "e1 = 1:5 toggle at 02:30",
                                     "e2 = 1:6 pulse 2s at 07:30 late 6h",
                                     "e3 = 1:7 on at sunrise+15m",
                                     "e4 = 1:8 off every 3h",
                                     "e5 = 1:9 on at 12:00 2027-12-24,2030-01-01"};
        for (const char* line : lines) {
            const QString text = QString::fromLatin1(line);
            clock.entries.push_back(*read_schedule_entry(text.section(" = ", 0, 0),
                                                         text.section(" = ", 1), {{}, {}, true})
                                         .entry);
        }
        // The relays as the runs leave them; while the schedule runs, each
        // window's channel must be as its window says after every wake.
        ChannelBits relays = 0;
        int checked = 0;
        clock.after_wake = [&] {
            for (; checked < int(clock.runs.size()); ++checked) {
                const ChannelCommand& c = clock.runs[checked].second.command;
                relays = ChannelBits(((relays | c.on) & ~c.off) ^ c.toggle);
            }
            if (!clock.scheduler->running()) {
                return;
            }
            for (int w = 0; w < 3; ++w) {
                const bool on = clock.scheduler->calendar().window_on(clock.entries[w], clock.wall);
                if (bool(relays & (1 << w)) != on) {
                    QFAIL(qPrintable(clock.shown(clock.wall) + " w" + QString::number(w + 1)));
                }
            }
        };
        const qint64 begin = clock.at("2027-01-01T00:00"), end = clock.at("2037-01-01T00:00");
        // Where occurrences may be missed or made up: power cuts, the clock
        // invalid after some of them, and the wall time a step jumped over.
        std::vector<std::pair<qint64, qint64>> excused;
        QRandomGenerator random(20261208);
        const auto span = [&random](double from_s, double to_s) {
            return qint64(1000 * from_s * std::pow(to_s / from_s, random.generateDouble()));
        };
        clock.wall = begin;
        clock.boot(false);
        while (clock.wall < end) {
            clock.run_to(std::min(end, clock.wall + span(3600, 20 * 86400)));
            const qint64 from = clock.wall;
            switch (random.bounded(3)) {
                case 0: {  // a power cut; now and then the state is lost, or no clock at first
                    const qint64 down = span(1, 7 * 86400);
                    clock.play(QStringLiteral("cut %1%2")
                                   .arg(QDateTime::fromMSecsSinceEpoch(from + down, Qt::UTC)
                                            .toString(Qt::ISODateWithMs))
                                   .arg(random.bounded(20) == 0 ? " lost" : ""));
                    qint64 valid_from = from + down;
                    if (random.bounded(4) == 0) {
                        clock.valid = false;
                        clock.wake();
                        clock.run_to(valid_from += span(1, 3600));
                        clock.valid = true;
                        clock.wake();
                    }
                    excused.emplace_back(from, valid_from);
                    break;
                }
                default: {  // the clock stepped, forward or back
                    const qint64 step = span(3, 6 * 3600) * (random.bounded(2) ? 1 : -1);
                    clock.wall += step;
                    clock.wake();
                    if (step > 0) {
                        excused.emplace_back(from, from + step);
                    }
                }
            }
        }
        const auto is_excused = [&excused](qint64 at) {
            return std::any_of(excused.begin(), excused.end(),
                               [at](const auto& e) { return at > e.first && at <= e.second; });
        };
        std::set<std::pair<QString, qint64>> handled;
        int on_time = 0;
        for (const auto& [when, run] : clock.runs) {
            if (run.kind == ScheduleRun::Kind::Asserted ||
                run.entry.startsWith("w") && run.entry != "w4") {
                continue;
            }
            if (!handled.insert({run.entry, run.due_ms}).second) {
                QFAIL(qPrintable("twice: " + run.entry + " " + clock.shown(run.due_ms)));
            }
            if (run.kind == ScheduleRun::Kind::OnTime) {
                QVERIFY(when - run.due_ms >= 0 && when - run.due_ms <= Scheduler::OnTimeMs);
                ++on_time;
            } else if (run.kind == ScheduleRun::Kind::Late) {
                const ScheduleEntry& entry = *std::find_if(
                    clock.entries.begin(), clock.entries.end(),
                    [&run = run](const ScheduleEntry& e) { return e.name == run.entry; });
                QVERIFY(is_excused(run.due_ms) && when - run.due_ms <= entry.late_ms);
            }
        }
        int missed = 0, occurrences = 0;
        for (const ScheduleEntry& entry : clock.entries) {
            if (entry.name.startsWith("w") && entry.name != "w4") {
                continue;
            }
            for (const auto& o : clock.scheduler->calendar().between(entry, begin, end)) {
                ++occurrences;
                missed += !is_excused(o.at_ms) && !handled.count({entry.name, o.at_ms});
            }
        }
        QCOMPARE(missed, 0);
        QVERIFY2(on_time > occurrences * 8 / 10, qPrintable(QString::number(on_time)));
    }
};

QTEST_GUILESS_MAIN(TestScheduler)
#include "test_scheduler.moc"
