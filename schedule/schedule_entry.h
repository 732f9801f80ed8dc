#pragma once

#include "controller/channel_command.h"
#include "controller/switch_rules.h"

#include <QDate>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace relay {

// A moment of a day: a wall-clock time, or sunrise or sunset with an offset.
struct DayTime {
    enum class Base { Clock, Sunrise, Sunset };
    Base base = Base::Clock;
    int seconds = 0;  // Clock: since midnight; the sun: the offset, maybe negative
    bool operator==(const DayTime& other) const {
        return base == other.base && seconds == other.seconds;
    }
};

// The days an entry is for: weekdays, and dates of their own.
struct DaySet {
    std::uint8_t weekdays = 0x7F;  // bit 0 Monday .. bit 6 Sunday
    std::vector<QDate> dates;
    bool contains(const QDate& date) const;
};

// One line of a schedule. A window implies its channels' state at every
// moment: energised from its start to its end on its days, released
// otherwise. An event switches once at each of its times.
struct ScheduleEntry {
    enum class Kind { Window, Event };
    enum class Action { On, Off, Toggle, Pulse };

    QString name;
    QString text;  // as it reads in the config file or the page
    Kind kind = Kind::Event;
    std::uint8_t address = 0;
    ChannelBits channels = 0;
    Action action = Action::On;  // an event's
    int pulse_ms = 0;            // Pulse: its length, 0 for the channels' own
    std::vector<DayTime> times;  // an event's times; a window's start and end
    bool overnight = false;      // a window that ends on the day after its start
    DaySet days;
    bool edges_only = false;  // a window switched only at its edges, never reasserted
    int late_ms = 0;          // an event missed by up to this much runs once late; 0: skipped

    bool needs_sun() const;
    // The command of an event, or of a window's state.
    ChannelCommand command(bool window_on = true) const;
};

// What an entry is checked against: the switching rules, the boards served
// (none: any) and whether a place for the sun's times is known.
struct ScheduleContext {
    SwitchRules rules;
    std::vector<std::uint8_t> boards;
    bool has_location = false;
};

struct ScheduleReading {
    std::optional<ScheduleEntry> entry;
    QString refusal;
};

// Letters, digits, _ and -, at most 40: names are topics' and files' keys.
bool is_schedule_name(const QString& name);

// One entry, as in relayd's config ("NAME = TEXT" in [schedule]) or the page:
//   A:C[,C...] on from TIME to TIME [DAYS] [edges]
//   A:C[,C...] on|off|toggle|pulse [LENGTH] at TIME[,TIME...] [DAYS] [late LENGTH]
//   A:C[,C...] ... every LENGTH [from TIME]          (an event from then through the day)
// C a channel 1..16, a range 3-5, or all; TIME HH:MM[:SS], sunrise or sunset
// with an offset (sunset-30m); DAYS daily, weekdays, weekends, mon-fri,
// sat,sun or dates 2026-12-24; LENGTH 500ms, 2s, 5m, 1h30m or plain ms.
// Refused with the reason: unknown words, a channel outside 1..16, a window
// of no length, a window on a momentary channel, two channels of an interlock
// group energised together, a pulse length out of range, a board not served,
// the sun's times without a place.
ScheduleReading read_schedule_entry(const QString& name, const QString& text,
                                    const ScheduleContext& context);

}  // namespace relay
