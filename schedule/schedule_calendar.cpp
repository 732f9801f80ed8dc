#include "schedule/schedule_calendar.h"

#include <algorithm>

namespace relay {

namespace {

constexpr qint64 DayMs = 24LL * 3600 * 1000;
// Sun days kept; a schedule looks at a few days around now.
constexpr std::size_t MostSunDays = 1024;

}  // namespace

ScheduleCalendar::ScheduleCalendar(LocalTime local, std::optional<Location> where)
    : m_local(std::move(local)), m_where(where) {}

const SunDay& ScheduleCalendar::sun(const QDate& date) const {
    const auto it = m_sun.find(date);
    if (it != m_sun.end()) {
        return it->second;
    }
    if (m_sun.size() >= MostSunDays) {
        m_sun.clear();
    }
    return m_sun[date] = sun_day(date, m_where.value_or(Location{}), m_local);
}

std::optional<qint64> ScheduleCalendar::event_instant(const QDate& date,
                                                      const DayTime& time) const {
    if (time.base == DayTime::Base::Clock) {
        return m_local.instant(date, time.seconds);
    }
    const SunDay& day = sun(date);
    if (day.kind != SunDay::Kind::Normal) {
        return std::nullopt;
    }
    return (time.base == DayTime::Base::Sunrise ? day.rise_ms : day.set_ms) + time.seconds * 1000LL;
}

qint64 ScheduleCalendar::window_instant(const QDate& date, const DayTime& time) const {
    if (time.base == DayTime::Base::Clock) {
        return m_local.instant(date, time.seconds);
    }
    const SunDay& day = sun(date);
    return (time.base == DayTime::Base::Sunrise ? day.rise_ms : day.set_ms) + time.seconds * 1000LL;
}

std::optional<ScheduleCalendar::Span> ScheduleCalendar::window(const ScheduleEntry& entry,
                                                               const QDate& start_date) const {
    if (!entry.days.contains(start_date)) {
        return std::nullopt;
    }
    const Span span{
        window_instant(start_date, entry.times[0]),
        window_instant(entry.overnight ? start_date.addDays(1) : start_date, entry.times[1])};
    if (span.end <= span.start) {
        return std::nullopt;  // the sun's times left nothing of it that day
    }
    return span;
}

std::vector<ScheduleCalendar::Occurrence> ScheduleCalendar::on_date(const ScheduleEntry& entry,
                                                                    const QDate& date) const {
    std::vector<Occurrence> found;
    if (entry.kind == ScheduleEntry::Kind::Window) {
        if (const auto span = window(entry, date)) {
            found = {{span->start, true}, {span->end, false}};
        }
        return found;
    }
    if (!entry.days.contains(date)) {
        return found;
    }
    for (const DayTime& time : entry.times) {
        if (const auto at = event_instant(date, time)) {
            found.push_back({*at, true});
        }
    }
    std::sort(found.begin(), found.end(),
              [](const Occurrence& a, const Occurrence& b) { return a.at_ms < b.at_ms; });
    // Two times that name one instant (a gap, or the sun's offsets) are one.
    found.erase(
        std::unique(found.begin(), found.end(),
                    [](const Occurrence& a, const Occurrence& b) { return a.at_ms == b.at_ms; }),
        found.end());
    return found;
}

template <typename Visit>
void ScheduleCalendar::each_date(const ScheduleEntry& entry, const QDate& first,
                                 Visit visit) const {
    if (entry.days.weekdays == 0) {
        std::vector<QDate> dates = entry.days.dates;
        std::sort(dates.begin(), dates.end());
        for (const QDate& date : dates) {
            if (date >= first && !visit(date)) {
                return;
            }
        }
        return;
    }
    for (int day = 0; day <= HorizonDays; ++day) {
        if (!visit(first.addDays(day))) {
            return;
        }
    }
}

std::optional<ScheduleCalendar::Occurrence> ScheduleCalendar::next(const ScheduleEntry& entry,
                                                                   qint64 after_ms) const {
    std::optional<Occurrence> found;
    // A window that began the day before may end after after_ms.
    const QDate first = m_local.date_of(after_ms).addDays(-1);
    const QDate last = first.addDays(HorizonDays);
    each_date(entry, first, [&](const QDate& date) {
        if (date > last) {
            return false;
        }
        for (const Occurrence& occurrence : on_date(entry, date)) {
            if (occurrence.at_ms > after_ms && (!found || occurrence.at_ms < found->at_ms)) {
                found = occurrence;
            }
        }
        // A later date's occurrences come later, but for an overnight
        // window's end or the sun's offsets: one date beyond is enough.
        return !found || date <= m_local.date_of(found->at_ms);
    });
    return found;
}

std::vector<ScheduleCalendar::Occurrence> ScheduleCalendar::between(const ScheduleEntry& entry,
                                                                    qint64 after_ms,
                                                                    qint64 until_ms) const {
    std::vector<Occurrence> found;
    const QDate last = m_local.date_of(until_ms).addDays(1);
    each_date(entry, m_local.date_of(after_ms).addDays(-1), [&](const QDate& date) {
        if (date > last) {
            return false;
        }
        for (const Occurrence& occurrence : on_date(entry, date)) {
            if (occurrence.at_ms > after_ms && occurrence.at_ms <= until_ms) {
                found.push_back(occurrence);
            }
        }
        return true;
    });
    std::sort(found.begin(), found.end(),
              [](const Occurrence& a, const Occurrence& b) { return a.at_ms < b.at_ms; });
    return found;
}

bool ScheduleCalendar::window_on(const ScheduleEntry& entry, qint64 at_ms) const {
    const QDate today = m_local.date_of(at_ms);
    for (const QDate& date : {today.addDays(-1), today}) {
        if (const auto span = window(entry, date);
            span && span->start <= at_ms && at_ms < span->end) {
            return true;
        }
    }
    return false;
}

}  // namespace relay
