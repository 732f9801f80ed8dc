#pragma once

#include "schedule/schedule_calendar.h"

#include <QString>

#include <map>
#include <optional>
#include <vector>

namespace relay {

// What the schedule does at one moment, for the switchboard and the log.
struct ScheduleRun {
    enum class Kind {
        OnTime,    // an event or an edge at its time
        Late,      // an event missed (relayd down, the clock invalid or stepped) run late
        Asserted,  // a window's implied state, at start, after a step or when the line is back
        Skipped,   // missed, and not to be run late: nothing is sent
    };
    QString entry;
    Kind kind = Kind::OnTime;
    qint64 due_ms = 0;  // the occurrence's time; Asserted: now
    ChannelCommand command;
    int skipped = 0;  // occurrences left out before it (Skipped: all)
};

// The schedule without I/O: fed the monotonic and the wall clock and whether
// the wall clock can be trusted, it says what to switch. An event runs once
// at each of its times and never twice, whatever the clock does: the last
// occurrence handled and the next one claimed are kept across restarts. A
// window's channels are kept in its implied state: at its edges, and at
// start, after the clock stepped and whenever asked (the line came back).
class Scheduler {
public:
    // An occurrence this much behind still runs as on time.
    static constexpr qint64 OnTimeMs = 10000;
    // The wall clock and the monotonic clock disagreeing by this much between
    // two calls is a step of the clock.
    static constexpr qint64 StepMs = 2000;
    // An event's next occurrence is claimed (kept as handled) this long
    // before it is due, so that a kill as it runs cannot make it run twice.
    static constexpr qint64 ClaimAheadMs = 1000;

    // Per event entry (and window switched at its edges only).
    struct Kept {
        qint64 done_ms = -1;     // the last occurrence run or skipped
        qint64 claimed_ms = -1;  // the next one, claimed ahead of its time
        bool operator==(const Kept& other) const {
            return done_ms == other.done_ms && claimed_ms == other.claimed_ms;
        }
    };

    explicit Scheduler(ScheduleCalendar calendar);

    const ScheduleCalendar& calendar() const { return m_calendar; }
    const std::vector<ScheduleEntry>& entries() const { return m_entries; }
    // Entries kept by name keep what they ran; new or changed ones start from
    // now (nothing of their past is made up) and their windows are asserted
    // at the next advance().
    void set_entries(std::vector<ScheduleEntry> entries);
    // What a previous run kept; before the first advance().
    void restore(const std::map<QString, Kept>& kept);
    const std::map<QString, Kept>& kept() const { return m_kept; }
    // Occurrences claimed that a restored state does not show as run: relayd
    // stopped as they were due, and they may not have run.
    const std::vector<std::pair<QString, qint64>>& uncertain() const { return m_uncertain; }

    std::vector<ScheduleRun> advance(qint64 monotonic_ms, qint64 wall_ms, bool wall_valid);
    // Every window's implied state now, of one board or all, for a line or a
    // board that came back. Nothing while the wall clock is not valid.
    std::vector<ScheduleRun> assert_windows(std::optional<std::uint8_t> address = {}) const;
    // When advance() next has something to do (wall clock); none while invalid.
    std::optional<qint64> next_wake_ms() const;
    // The next occurrence of any entry: when a frame will be due.
    std::optional<qint64> next_run_ms() const;
    // The entry's next occurrence after now.
    std::optional<ScheduleCalendar::Occurrence> next_of(const QString& entry) const;
    bool running() const { return m_running; }

private:
    struct Live {
        std::optional<ScheduleCalendar::Occurrence> next;  // after what was handled
        bool reassert = false;
    };

    bool reasserts(const ScheduleEntry& entry) const;
    void start(qint64 wall_ms, std::vector<ScheduleRun>& runs);
    void handle(const ScheduleEntry& entry, qint64 wall_ms, std::vector<ScheduleRun>& runs);
    void claim(const ScheduleEntry& entry, qint64 wall_ms);
    ScheduleRun assertion(const ScheduleEntry& entry, qint64 wall_ms) const;
    qint64 handled(const ScheduleEntry& entry) const;

    ScheduleCalendar m_calendar;
    std::vector<ScheduleEntry> m_entries;
    std::map<QString, Kept> m_kept;
    std::map<QString, Live> m_live;
    std::vector<std::pair<QString, qint64>> m_uncertain;
    bool m_running = false;  // the wall clock valid and the schedule started
    qint64 m_last_monotonic_ms = 0;
    qint64 m_last_wall_ms = 0;
    bool m_entries_changed = false;
};

}  // namespace relay
