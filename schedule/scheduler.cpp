#include "schedule/scheduler.h"

#include <algorithm>

namespace relay {

Scheduler::Scheduler(ScheduleCalendar calendar) : m_calendar(std::move(calendar)) {}

bool Scheduler::reasserts(const ScheduleEntry& entry) const {
    return entry.kind == ScheduleEntry::Kind::Window && !entry.edges_only;
}

void Scheduler::set_entries(std::vector<ScheduleEntry> entries) {
    std::map<QString, Kept> kept;
    std::map<QString, Live> live;
    for (const ScheduleEntry& entry : entries) {
        const auto old =
            std::find_if(m_entries.begin(), m_entries.end(), [&entry](const ScheduleEntry& e) {
                return e.name == entry.name && e.text == entry.text;
            });
        if (old != m_entries.end()) {
            if (const auto it = m_kept.find(entry.name); it != m_kept.end()) {
                kept[entry.name] = it->second;
            }
            live[entry.name] = m_live[entry.name];
            continue;
        }
        // New, or changed: nothing of its past is made up.
        if (m_running && !reasserts(entry)) {
            kept[entry.name] = Kept{m_last_wall_ms, -1};
        }
        live[entry.name] = Live{std::nullopt, true};
        m_entries_changed = true;
    }
    m_entries = std::move(entries);
    m_kept = std::move(kept);
    m_live = std::move(live);
}

void Scheduler::restore(const std::map<QString, Kept>& kept) {
    m_uncertain.clear();
    for (const auto& [name, was] : kept) {
        Kept& now = m_kept[name];
        now = {std::max(was.done_ms, was.claimed_ms), was.claimed_ms};
        if (was.claimed_ms > was.done_ms) {
            m_uncertain.emplace_back(name, was.claimed_ms);
        }
    }
}

qint64 Scheduler::handled(const ScheduleEntry& entry) const {
    const auto it = m_kept.find(entry.name);
    return it == m_kept.end() ? -1 : it->second.done_ms;
}

std::vector<ScheduleRun> Scheduler::advance(qint64 monotonic_ms, qint64 wall_ms, bool wall_valid) {
    std::vector<ScheduleRun> runs;
    if (!wall_valid) {
        m_running = false;
        return runs;
    }
    const qint64 drift = (wall_ms - m_last_wall_ms) - (monotonic_ms - m_last_monotonic_ms);
    const bool step = m_running && (drift > StepMs || drift < -StepMs);
    m_last_wall_ms = wall_ms;
    m_last_monotonic_ms = monotonic_ms;
    if (!m_running || step) {
        start(wall_ms, runs);
    }
    for (const ScheduleEntry& entry : m_entries) {
        Live& live = m_live[entry.name];
        if (live.reassert) {
            // Changed or added while running.
            live.reassert = false;
            if (reasserts(entry)) {
                runs.push_back(assertion(entry, wall_ms));
                live.next = m_calendar.next(entry, wall_ms);
            } else {
                live.next = m_calendar.next(entry, handled(entry));
            }
        }
        if (reasserts(entry)) {
            if (live.next && live.next->at_ms <= wall_ms) {
                // An edge where the implied state stays (one window ends as
                // another begins) switches nothing.
                ScheduleRun run = assertion(entry, wall_ms);
                if (!(assertion(entry, live.next->at_ms - 1).command.on == run.command.on)) {
                    run.kind = ScheduleRun::Kind::OnTime;
                    run.due_ms = live.next->at_ms;
                    runs.push_back(run);
                }
                live.next = m_calendar.next(entry, wall_ms);
            }
            continue;
        }
        handle(entry, wall_ms, runs);
        claim(entry, wall_ms);
    }
    m_entries_changed = false;
    return runs;
}

void Scheduler::start(qint64 wall_ms, std::vector<ScheduleRun>& runs) {
    m_running = true;
    for (const ScheduleEntry& entry : m_entries) {
        Live& live = m_live[entry.name];
        live.reassert = false;
        if (reasserts(entry)) {
            runs.push_back(assertion(entry, wall_ms));
            live.next = m_calendar.next(entry, wall_ms);
            continue;
        }
        Kept& kept = m_kept[entry.name];
        if (kept.done_ms < 0) {
            kept.done_ms = wall_ms;  // nothing known of what ran before
        }
        live.next = m_calendar.next(entry, kept.done_ms);
    }
}

void Scheduler::handle(const ScheduleEntry& entry, qint64 wall_ms, std::vector<ScheduleRun>& runs) {
    Live& live = m_live[entry.name];
    if (!live.next || live.next->at_ms > wall_ms) {
        return;
    }
    Kept& kept = m_kept[entry.name];
    const auto due = m_calendar.between(entry, kept.done_ms, wall_ms);
    if (due.empty()) {
        live.next = m_calendar.next(entry, wall_ms);
        return;
    }
    const ScheduleCalendar::Occurrence& latest = due.back();
    const qint64 behind = wall_ms - latest.at_ms;
    ScheduleRun run;
    run.entry = entry.name;
    run.due_ms = latest.at_ms;
    run.kind = behind <= OnTimeMs                             ? ScheduleRun::Kind::OnTime
               : entry.late_ms > 0 && behind <= entry.late_ms ? ScheduleRun::Kind::Late
                                                              : ScheduleRun::Kind::Skipped;
    run.skipped = static_cast<int>(due.size()) - (run.kind == ScheduleRun::Kind::Skipped ? 0 : 1);
    if (run.kind != ScheduleRun::Kind::Skipped) {
        run.command = entry.command(latest.on);
    }
    runs.push_back(run);
    kept.done_ms = latest.at_ms;
    live.next = m_calendar.next(entry, latest.at_ms);
}

void Scheduler::claim(const ScheduleEntry& entry, qint64 wall_ms) {
    const Live& live = m_live[entry.name];
    Kept& kept = m_kept[entry.name];
    if (live.next && live.next->at_ms - wall_ms <= ClaimAheadMs &&
        kept.claimed_ms < live.next->at_ms) {
        kept.claimed_ms = live.next->at_ms;
    }
}

ScheduleRun Scheduler::assertion(const ScheduleEntry& entry, qint64 wall_ms) const {
    // A channel in several windows is on while any of them is.
    ChannelBits on = 0;
    for (const ScheduleEntry& other : m_entries) {
        if (reasserts(other) && other.address == entry.address &&
            (other.channels & entry.channels) && m_calendar.window_on(other, wall_ms)) {
            on |= other.channels & entry.channels;
        }
    }
    ScheduleRun run;
    run.entry = entry.name;
    run.kind = ScheduleRun::Kind::Asserted;
    run.due_ms = wall_ms;
    run.command.address = entry.address;
    run.command.on = on;
    run.command.off = static_cast<ChannelBits>(entry.channels & ~on);
    return run;
}

std::vector<ScheduleRun> Scheduler::assert_windows(std::optional<std::uint8_t> address) const {
    std::vector<ScheduleRun> runs;
    if (!m_running) {
        return runs;
    }
    for (const ScheduleEntry& entry : m_entries) {
        if (reasserts(entry) && (!address || entry.address == *address)) {
            runs.push_back(assertion(entry, m_last_wall_ms));
        }
    }
    return runs;
}

std::optional<qint64> Scheduler::next_wake_ms() const {
    if (!m_running) {
        return std::nullopt;
    }
    std::optional<qint64> wake;
    const auto consider = [&wake](qint64 at) { wake = wake ? std::min(*wake, at) : at; };
    for (const ScheduleEntry& entry : m_entries) {
        const auto live = m_live.find(entry.name);
        if (live == m_live.end()) {
            continue;
        }
        if (live->second.reassert) {
            consider(m_last_wall_ms);
        } else if (const auto& next = live->second.next) {
            consider(next->at_ms);
            const auto kept = m_kept.find(entry.name);
            if (!reasserts(entry) &&
                (kept == m_kept.end() || kept->second.claimed_ms < next->at_ms)) {
                consider(next->at_ms - ClaimAheadMs);
            }
        }
    }
    return wake;
}

std::optional<qint64> Scheduler::next_run_ms() const {
    std::optional<qint64> next;
    if (m_running) {
        for (const auto& [name, live] : m_live) {
            if (live.next && (!next || live.next->at_ms < *next)) {
                next = live.next->at_ms;
            }
        }
    }
    return next;
}

std::optional<ScheduleCalendar::Occurrence> Scheduler::next_of(const QString& entry) const {
    const auto live = m_live.find(entry);
    return live == m_live.end() ? std::nullopt : live->second.next;
}

}  // namespace relay
