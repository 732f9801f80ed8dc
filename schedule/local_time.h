#pragma once

#include <QDate>
#include <QTimeZone>
#include <QtGlobal>

#include <unordered_map>

namespace relay {

// Local wall-clock time in a zone, as the schedules read it.
class LocalTime {
public:
    explicit LocalTime(QTimeZone zone) : m_zone(std::move(zone)) {}

    const QTimeZone& zone() const { return m_zone; }
    // The instant (ms since the epoch) of seconds past midnight on date. A
    // time the clocks skip when they go forward is the first moment after
    // the gap; a time that happens twice when they go back is its first.
    qint64 instant(const QDate& date, int seconds) const;
    QDate date_of(qint64 instant_ms) const;
    // The zone's offset from UTC at an instant, in seconds.
    int offset_at(qint64 instant_ms) const;

private:
    qint64 resolve(const QDate& date, int seconds) const;

    QTimeZone m_zone;
    // Schedules ask for the same few days again and again.
    mutable std::unordered_map<qint64, qint64> m_instants;
};

}  // namespace relay
