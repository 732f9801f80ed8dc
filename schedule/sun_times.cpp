#include "schedule/sun_times.h"

#include <libnova/julian_day.h>
#include <libnova/solar.h>

#include <cmath>

namespace relay {

namespace {

constexpr double UnixEpochJd = 2440587.5;
constexpr double DayMs = 86400000.0;

double julian_day(qint64 instant_ms) {
    return UnixEpochJd + static_cast<double>(instant_ms) / DayMs;
}

// To the minute: the sun's times are not known closer, and "07:32" reads
// better in a log than "07:31:39".
qint64 instant_of(double jd) {
    return std::llround((jd - UnixEpochJd) * DayMs / 60000.0) * 60000;
}

}  // namespace

SunDay sun_day(const QDate& date, const Location& where, const LocalTime& local) {
    const qint64 start = local.instant(date, 0);
    const qint64 end = local.instant(date.addDays(1), 0);
    const qint64 noon = local.instant(date, 12 * 3600);
    ln_lnlat_posn observer{where.longitude, where.latitude};
    // libnova answers for the day around the Julian day it is given; the one
    // whose sunrise falls on this local date is ours.
    for (const double shift : {0.0, -1.0, 1.0}) {
        ln_rst_time rst{};
        const int kind = ln_get_solar_rst(julian_day(noon) + shift, &observer, &rst);
        if (kind != 0) {
            if (shift != 0.0) {
                continue;
            }
            return kind > 0 ? SunDay{SunDay::Kind::PolarDay, start, end}
                            : SunDay{SunDay::Kind::PolarNight, noon, noon};
        }
        const qint64 rise = instant_of(rst.rise);
        if (rise >= start && rise < end) {
            qint64 set = instant_of(rst.set);
            // The set that follows this rise, when libnova gave the one before.
            if (set < rise) {
                set += static_cast<qint64>(DayMs);
            }
            return {SunDay::Kind::Normal, rise, set};
        }
    }
    // The sun rises on no moment of this local date (near the polar circle,
    // around a polar day's start or end): count it as up.
    return {SunDay::Kind::PolarDay, start, end};
}

}  // namespace relay
