#include "relayd/next_runs.h"

#include "relayd/clock_check.h"
#include "relayd/schedule_runner.h"
#include "relayd/state_directory.h"
#include "schedule/schedule_calendar.h"

#include <QDateTime>
#include <QLocale>

#include <cstdio>

namespace relay {

int print_next_runs(const BridgeOptions& options) {
    const LineOptions& line = options.line;
    const QTimeZone zone =
        line.time_zone.isEmpty() ? QTimeZone::systemTimeZone() : QTimeZone(line.time_zone.toUtf8());
    const ScheduleCalendar calendar(LocalTime(zone), line.location);
    const ScheduleContext context{line.rules, line.scan ? std::vector<std::uint8_t>() : line.boards,
                                  line.location.has_value()};
    std::vector<std::pair<QString, QString>> entries = line.schedule;
    for (const auto& page : ScheduleState::read(StateDirectory(line.state_directory)).entries) {
        entries.emplace_back(page.name, page.text);
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QString out;
    for (const auto& [name, text] : entries) {
        out += QStringLiteral("%1: %2\n").arg(name, text);
        const ScheduleReading reading = read_schedule_entry(name, text, context);
        if (!reading.entry) {
            out += QStringLiteral("    refused: %1\n").arg(reading.refusal);
            continue;
        }
        qint64 from = now;
        for (int i = 0; i < options.next_runs; ++i) {
            const auto next = calendar.next(*reading.entry, from);
            if (!next) {
                out += QStringLiteral("    (no more runs)\n");
                break;
            }
            out += QStringLiteral("    %1  %2\n")
                       .arg(QLocale::c().toString(QDateTime::fromMSecsSinceEpoch(next->at_ms, zone),
                                                  QStringLiteral("ddd yyyy-MM-dd HH:mm:ss t")),
                            schedule_command_text(reading.entry->command(next->on)));
            from = next->at_ms;
        }
    }
    const ClockCheck::Verdict clock = ClockCheck(line.trust_clock).check(now);
    out += QStringLiteral("times in %1; the system clock %2: %3\n")
               .arg(QString::fromUtf8(zone.id()),
                    clock.valid ? QStringLiteral("is valid") : QStringLiteral("is not valid yet"),
                    clock.why);
    std::fputs(out.toLocal8Bit().constData(), stdout);
    return exit_code::Ok;
}

}  // namespace relay
