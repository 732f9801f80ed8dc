#pragma once

#include "schedule/local_time.h"

#include <QDate>

namespace relay {

// Where the boards are, for the sun's times.
struct Location {
    double latitude = 0;   // degrees, north positive
    double longitude = 0;  // degrees, east positive
};

// Sunrise and sunset of a local date. On a polar day the sun is up from
// midnight to midnight; in the polar night it rises and sets at noon, so a
// window from sunrise to sunset is empty and one from sunset to sunrise full.
// Events at sunrise or sunset do not happen on either.
struct SunDay {
    enum class Kind { Normal, PolarDay, PolarNight };
    Kind kind = Kind::Normal;
    qint64 rise_ms = 0;
    qint64 set_ms = 0;
};

SunDay sun_day(const QDate& date, const Location& where, const LocalTime& local);

}  // namespace relay
