#pragma once

#include "schedule/local_time.h"
#include "schedule/schedule_entry.h"
#include "schedule/sun_times.h"

#include <map>
#include <optional>
#include <vector>

namespace relay {

// When the entries of a schedule happen, in one zone and at one place: an
// event's times, a window's edges and whether a window is on at a moment.
class ScheduleCalendar {
public:
    // An event's time, or a window's edge (on: its start).
    struct Occurrence {
        qint64 at_ms = 0;
        bool on = true;
    };
    // How far ahead an entry's next occurrence is looked for.
    static constexpr int HorizonDays = 4 * 366;

    ScheduleCalendar(LocalTime local, std::optional<Location> where);

    const LocalTime& local() const { return m_local; }
    bool has_location() const { return m_where.has_value(); }

    // The first occurrence later than after_ms.
    std::optional<Occurrence> next(const ScheduleEntry& entry, qint64 after_ms) const;
    // Those later than after_ms and not later than until_ms, in order.
    std::vector<Occurrence> between(const ScheduleEntry& entry, qint64 after_ms,
                                    qint64 until_ms) const;
    // A window's state at a moment.
    bool window_on(const ScheduleEntry& entry, qint64 at_ms) const;

private:
    struct Span {
        qint64 start = 0;
        qint64 end = 0;
    };
    // The occurrences that belong to date, in order.
    std::vector<Occurrence> on_date(const ScheduleEntry& entry, const QDate& date) const;
    std::optional<Span> window(const ScheduleEntry& entry, const QDate& start_date) const;
    std::optional<qint64> event_instant(const QDate& date, const DayTime& time) const;
    qint64 window_instant(const QDate& date, const DayTime& time) const;
    const SunDay& sun(const QDate& date) const;
    // The dates to look at from first on: every day, or only the entry's dates.
    template <typename Visit>
    void each_date(const ScheduleEntry& entry, const QDate& first, Visit visit) const;

    LocalTime m_local;
    std::optional<Location> m_where;
    mutable std::map<QDate, SunDay> m_sun;
};

}  // namespace relay
