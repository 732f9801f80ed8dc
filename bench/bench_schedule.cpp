// What the schedule costs relayd's loop: computing every entry's next run at
// start, and a wake with nothing due (relayd wakes once a second to notice
// the clock's steps), each with 1,000 entries of every kind.
#include "schedule/scheduler.h"

#include <QDateTime>

#include <benchmark/benchmark.h>

using namespace relay;

namespace {

std::vector<ScheduleEntry> thousand_entries() {
    std::vector<ScheduleEntry> entries;
    const char* const kinds[] = {"1:%1 on from 06:%2 to 07:%2 mon-fri", "1:%1 pulse 2s at 07:%2,19:%2",
                                 "1:%1 off at sunset-%2m", "1:%1 toggle every 3h from 00:%2",
                                 "1:%1 on from sunset to 23:%2 edges"};
    for (int i = 0; i < 1000; ++i) {
        const QString text = QString::fromLatin1(kinds[i % 5])
                                 .arg(1 + i % 16)
                                 .arg(i % 60, 2, 10, QLatin1Char('0'));
        entries.push_back(
            *read_schedule_entry(QStringLiteral("e%1").arg(i), text, {{}, {}, true}).entry);
    }
    return entries;
}

Scheduler make() {
    return Scheduler(ScheduleCalendar(LocalTime(QTimeZone("Europe/Berlin")), Location{52.5, 13.4}));
}

const qint64 Noon = QDateTime(QDate(2027, 3, 10), QTime(12, 0, 30), QTimeZone("Europe/Berlin"))
                        .toMSecsSinceEpoch();

void StartWith1000Entries(benchmark::State& state) {
    const auto entries = thousand_entries();
    for (auto _ : state) {
        Scheduler scheduler = make();
        scheduler.set_entries(entries);
        benchmark::DoNotOptimize(scheduler.advance(0, Noon, true));
    }
}
BENCHMARK(StartWith1000Entries)->Unit(benchmark::kMillisecond);

void WakeWithNothingDue1000Entries(benchmark::State& state) {
    Scheduler scheduler = make();
    scheduler.set_entries(thousand_entries());
    scheduler.advance(0, Noon, true);
    qint64 t = 0;
    for (auto _ : state) {
        t += 1;  // a millisecond on: nothing falls due
        benchmark::DoNotOptimize(scheduler.advance(t, Noon + t, true));
        benchmark::DoNotOptimize(scheduler.next_wake_ms());
    }
}
BENCHMARK(WakeWithNothingDue1000Entries)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
