#include "schedule/schedule_entry.h"

#include "protocol/option_text.h"

#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

namespace relay {

namespace {

constexpr int DaySeconds = 24 * 3600;
constexpr int MostLateMs = 7 * 24 * 3600 * 1000;

const char* const Weekdays[] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};

// 500ms, 2s, 5m, 1h30m, or plain milliseconds.
std::optional<qint64> length_ms(const QString& text) {
    if (const auto plain = strict_decimal(text, 0, 999999999)) {
        return *plain;
    }
    static const QRegularExpression form(
        QStringLiteral("^(?:([0-9]{1,3})h)?(?:([0-9]{1,5})m(?!s))?(?:([0-9]{1,6})s)?"
                       "(?:([0-9]{1,6})ms)?$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch() || text.isEmpty()) {
        return std::nullopt;
    }
    const qint64 scale[] = {3600000, 60000, 1000, 1};
    qint64 total = 0;
    for (int i = 0; i < 4; ++i) {
        total += match.captured(i + 1).toLongLong() * scale[i];
    }
    return total;
}

std::optional<DayTime> day_time(const QString& text) {
    static const QRegularExpression clock(
        QStringLiteral("^([01][0-9]|2[0-3]):([0-5][0-9])(?::([0-5][0-9]))?$"));
    if (const QRegularExpressionMatch match = clock.match(text); match.hasMatch()) {
        return DayTime{DayTime::Base::Clock, match.captured(1).toInt() * 3600 +
                                                 match.captured(2).toInt() * 60 +
                                                 match.captured(3).toInt()};
    }
    for (const auto& [word, base] : {std::pair{"sunrise", DayTime::Base::Sunrise},
                                     std::pair{"sunset", DayTime::Base::Sunset}}) {
        const QString sun = QString::fromLatin1(word);
        if (!text.startsWith(sun)) {
            continue;
        }
        const QString offset = text.mid(sun.size());
        if (offset.isEmpty()) {
            return DayTime{base, 0};
        }
        const auto ms = length_ms(offset.mid(1));
        if ((offset[0] != QLatin1Char('+') && offset[0] != QLatin1Char('-')) || !ms ||
            *ms % 1000 != 0 || *ms >= DaySeconds * 1000LL / 2) {
            return std::nullopt;
        }
        const int seconds = static_cast<int>(*ms / 1000);
        return DayTime{base, offset[0] == QLatin1Char('-') ? -seconds : seconds};
    }
    return std::nullopt;
}

// Where the sun's times usually are, to tell a window that ends the next day.
int nominal_seconds(const DayTime& time) {
    switch (time.base) {
        case DayTime::Base::Sunrise:
            return 6 * 3600 + time.seconds;
        case DayTime::Base::Sunset:
            return 18 * 3600 + time.seconds;
        default:
            return time.seconds;
    }
}

std::optional<DaySet> day_set(const QString& text) {
    DaySet days{0, {}};
    const auto weekday = [](const QString& word) {
        const auto* it = std::find_if(std::begin(Weekdays), std::end(Weekdays),
                                      [&word](const char* day) { return word == day; });
        return it == std::end(Weekdays) ? -1 : static_cast<int>(it - std::begin(Weekdays));
    };
    for (const QString& item : text.split(QLatin1Char(','))) {
        if (item == QLatin1String("daily")) {
            days.weekdays |= 0x7F;
        } else if (item == QLatin1String("weekdays")) {
            days.weekdays |= 0x1F;
        } else if (item == QLatin1String("weekends")) {
            days.weekdays |= 0x60;
        } else if (const QDate date = QDate::fromString(item, Qt::ISODate);
                   date.isValid() && item.size() == 10) {
            days.dates.push_back(date);
        } else {
            const int from = weekday(item.section(QLatin1Char('-'), 0, 0));
            const int to =
                item.contains(QLatin1Char('-')) ? weekday(item.section(QLatin1Char('-'), 1)) : from;
            if (from < 0 || to < 0) {
                return std::nullopt;
            }
            for (int day = from;; day = (day + 1) % 7) {
                days.weekdays |= static_cast<std::uint8_t>(1u << day);
                if (day == to) {
                    break;
                }
            }
        }
    }
    return days;
}

bool is_day_set(const QString& word) {
    return day_set(word).has_value();
}

// Channels of one board: 3, 3-5, 1,4,7 or all.
std::optional<ChannelBits> channel_set(const QString& text) {
    if (text == QLatin1String("all")) {
        return static_cast<ChannelBits>(0xFFFF);
    }
    ChannelBits bits = 0;
    for (const QString& item : text.split(QLatin1Char(','))) {
        const QStringList ends = item.split(QLatin1Char('-'));
        const auto from =
            ends.size() <= 2 ? strict_decimal(ends.front(), 1, ChannelCount) : std::nullopt;
        const auto to = ends.size() == 2 ? strict_decimal(ends.back(), 1, ChannelCount) : from;
        if (!from || !to || *from > *to) {
            return std::nullopt;
        }
        for (int channel = *from; channel <= *to; ++channel) {
            bits |= channel_bit(channel);
        }
    }
    return bits;
}

}  // namespace

bool DaySet::contains(const QDate& date) const {
    return (weekdays & (1u << (date.dayOfWeek() - 1))) ||
           std::find(dates.begin(), dates.end(), date) != dates.end();
}

bool ScheduleEntry::needs_sun() const {
    return std::any_of(times.begin(), times.end(),
                       [](const DayTime& time) { return time.base != DayTime::Base::Clock; });
}

ChannelCommand ScheduleEntry::command(bool window_on) const {
    ChannelCommand made;
    made.address = address;
    if (kind == Kind::Window) {
        (window_on ? made.on : made.off) = channels;
        return made;
    }
    switch (action) {
        case Action::On:
            made.on = channels;
            break;
        case Action::Off:
            made.off = channels;
            break;
        case Action::Toggle:
            made.toggle = channels;
            break;
        case Action::Pulse:
            made.pulse = channels;
            made.pulse_ms = pulse_ms;
            break;
    }
    return made;
}

bool is_schedule_name(const QString& name) {
    static const QRegularExpression form(QStringLiteral("^[A-Za-z0-9_-]{1,40}$"));
    return form.match(name).hasMatch();
}

ScheduleReading read_schedule_entry(const QString& name, const QString& text,
                                    const ScheduleContext& context) {
    const auto refuse = [](const QString& why) { return ScheduleReading{std::nullopt, why}; };
    if (!is_schedule_name(name)) {
        return refuse(QStringLiteral("an entry's name is 1 to 40 letters A-Z a-z, digits, _ or -"));
    }
    const QStringList words = text.simplified().toLower().split(QLatin1Char(' '));
    ScheduleEntry entry;
    entry.name = name;
    entry.text = text.simplified();
    const QString target = words.value(0);
    const auto address = strict_decimal(target.section(QLatin1Char(':'), 0, 0), 0, 255);
    const auto channels = target.count(QLatin1Char(':')) == 1
                              ? channel_set(target.section(QLatin1Char(':'), 1))
                              : std::nullopt;
    if (!address || !channels) {
        return refuse(QStringLiteral("\"%1\" is not BOARD:CHANNELS such as 1:3, 1:3-5 or 1:all "
                                     "(channels 1 to 16)")
                          .arg(target));
    }
    entry.address = static_cast<std::uint8_t>(*address);
    entry.channels = *channels;
    const QString action = words.value(1);
    const char* const actions[] = {"on", "off", "toggle", "pulse"};
    const auto* found = std::find_if(std::begin(actions), std::end(actions),
                                     [&action](const char* a) { return action == a; });
    if (found == std::end(actions)) {
        return refuse(QStringLiteral("\"%1\" is not on, off, toggle or pulse").arg(action));
    }
    entry.action = static_cast<ScheduleEntry::Action>(found - std::begin(actions));
    int at = 2;
    if (entry.action == ScheduleEntry::Action::Pulse && words.value(at) != QLatin1String("at") &&
        words.value(at) != QLatin1String("every")) {
        const auto ms = length_ms(words.value(at));
        if (!ms || *ms < MinPulseMs || *ms > MaxPulseMs) {
            return refuse(
                QStringLiteral("pulse \"%1\": a length from 50ms to 24h").arg(words.value(at)));
        }
        entry.pulse_ms = static_cast<int>(*ms);
        ++at;
    }
    const QString when = words.value(at);
    if (when == QLatin1String("from") && entry.action == ScheduleEntry::Action::On) {
        entry.kind = ScheduleEntry::Kind::Window;
        const auto from = day_time(words.value(at + 1));
        const auto to = words.value(at + 2) == QLatin1String("to") ? day_time(words.value(at + 3))
                                                                   : std::nullopt;
        if (!from || !to) {
            return refuse(
                QStringLiteral("a window is on from TIME to TIME, TIME as 06:00, "
                               "sunrise or sunset-30m"));
        }
        if (*from == *to) {
            return refuse(
                QStringLiteral("a window from %1 to %1 has no length").arg(words.value(at + 1)));
        }
        entry.times = {*from, *to};
        entry.overnight = nominal_seconds(*to) <= nominal_seconds(*from);
        at += 4;
    } else if (when == QLatin1String("at")) {
        for (const QString& item : words.value(at + 1).split(QLatin1Char(','))) {
            const auto time = day_time(item);
            if (!time) {
                return refuse(QStringLiteral("\"%1\" is not a time such as 07:30, sunrise or "
                                             "sunset-30m")
                                  .arg(item));
            }
            if (std::find(entry.times.begin(), entry.times.end(), *time) == entry.times.end()) {
                entry.times.push_back(*time);
            }
        }
        at += 2;
    } else if (when == QLatin1String("every")) {
        const auto every = length_ms(words.value(at + 1));
        std::optional<DayTime> first = DayTime{};
        at += 2;
        if (words.value(at) == QLatin1String("from")) {
            first = day_time(words.value(at + 1));
            at += 2;
        }
        if (!every || *every < 60000 || *every > DaySeconds * 1000LL || *every % 1000 != 0 ||
            !first || first->base != DayTime::Base::Clock) {
            return refuse(
                QStringLiteral("every wants a length from 1m to 24h and, after from, "
                               "a clock time"));
        }
        for (qint64 s = first->seconds; s < DaySeconds; s += *every / 1000) {
            entry.times.push_back(DayTime{DayTime::Base::Clock, static_cast<int>(s)});
        }
    } else {
        return refuse(entry.action == ScheduleEntry::Action::On || when != QLatin1String("from")
                          ? QStringLiteral("want at TIME, every LENGTH or (for on) from TIME to "
                                           "TIME after the action")
                          : QStringLiteral("only on has a window: on from TIME to TIME"));
    }
    if (is_day_set(words.value(at))) {
        entry.days = *day_set(words.value(at));
        ++at;
    }
    if (words.value(at) == QLatin1String("edges") && entry.kind == ScheduleEntry::Kind::Window) {
        entry.edges_only = true;
        ++at;
    } else if (words.value(at) == QLatin1String("late") &&
               entry.kind == ScheduleEntry::Kind::Event) {
        const auto late = length_ms(words.value(at + 1));
        if (!late || *late < 1000 || *late > MostLateMs) {
            return refuse(QStringLiteral("late wants a length from 1s to 7 days"));
        }
        entry.late_ms = static_cast<int>(*late);
        at += 2;
    }
    if (at < words.size()) {
        return refuse(QStringLiteral("\"%1\" is not understood here (days, then %2)")
                          .arg(words[at], entry.kind == ScheduleEntry::Kind::Window
                                              ? QStringLiteral("edges")
                                              : QStringLiteral("late LENGTH")));
    }
    if (!context.boards.empty() && std::find(context.boards.begin(), context.boards.end(),
                                             entry.address) == context.boards.end()) {
        return refuse(QStringLiteral("board %1 is not served here").arg(entry.address));
    }
    if (entry.needs_sun() && !context.has_location) {
        return refuse(QStringLiteral("sunrise and sunset need the place: location = LAT,LON"));
    }
    const BoardRules& board = context.rules.board(entry.address);
    if (entry.kind == ScheduleEntry::Kind::Window && (entry.channels & board.momentary)) {
        return refuse(QStringLiteral("a window on momentary channel %1: every ON of it is a pulse")
                          .arg(channel_text(entry.channels & board.momentary)));
    }
    const ChannelCommand command = entry.command();
    const ChannelBits energise =
        static_cast<ChannelBits>(command.on | command.pulse | command.toggle);
    if (const QString why = rules_refusal(board, command, energise); !why.isEmpty()) {
        return refuse(why);
    }
    return {entry, QString()};
}

}  // namespace relay
