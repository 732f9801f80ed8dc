#include "schedule/local_time.h"

#include <QDateTime>

#include <algorithm>
#include <optional>

namespace relay {

namespace {

constexpr qint64 DayMs = 24LL * 3600 * 1000;

}  // namespace

int LocalTime::offset_at(qint64 instant_ms) const {
    return m_zone.offsetFromUtc(QDateTime::fromMSecsSinceEpoch(instant_ms, Qt::UTC));
}

qint64 LocalTime::instant(const QDate& date, int seconds) const {
    const qint64 key = date.toJulianDay() * 86400 + seconds;
    if (const auto it = m_instants.find(key); it != m_instants.end()) {
        return it->second;
    }
    if (m_instants.size() >= 4096) {
        m_instants.clear();
    }
    return m_instants[key] = resolve(date, seconds);
}

qint64 LocalTime::resolve(const QDate& date, int seconds) const {
    // The wall clock read as if it were UTC, then each offset the zone has
    // around that day; an offset that maps back to itself names the instant.
    const qint64 wall = date.startOfDay(Qt::UTC).toMSecsSinceEpoch() + seconds * 1000LL;
    const int before = offset_at(wall - DayMs);
    const int after = offset_at(wall + DayMs);
    std::optional<qint64> first;
    for (const int offset : {before, after}) {
        const qint64 candidate = wall - offset * 1000LL;
        if (offset_at(candidate) == offset) {
            first = first ? std::min(*first, candidate) : candidate;
        }
    }
    if (first) {
        return *first;
    }
    // In the gap: the moment the clocks jumped over it.
    const qint64 earliest = wall - std::max(before, after) * 1000LL;
    const QTimeZone::OffsetData jump =
        m_zone.nextTransition(QDateTime::fromMSecsSinceEpoch(earliest - 1, Qt::UTC));
    return jump.atUtc.isValid() ? jump.atUtc.toMSecsSinceEpoch() : wall - before * 1000LL;
}

QDate LocalTime::date_of(qint64 instant_ms) const {
    return QDateTime::fromMSecsSinceEpoch(instant_ms + offset_at(instant_ms) * 1000LL, Qt::UTC)
        .date();
}

}  // namespace relay
