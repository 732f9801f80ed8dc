#pragma once

#include "history/history_store.h"

#include <QDate>
#include <QTimeZone>

#include <array>
#include <map>
#include <tuple>

namespace relay {

// Each channel's switch count and energised time: only time that replies
// confirm, from the reply that showed a channel ON to the one that showed it
// OFF, and none while its board is silent or the line lost. Durations come
// from the monotonic clock, days from the wall clock in relayd's zone.
class RuntimeCounters {
public:
    using Totals = HistoryStore::Totals;

    explicit RuntimeCounters(QTimeZone zone) : m_zone(std::move(zone)) {}

    void load(const std::map<HistoryStore::Channel, Totals>& totals) { m_totals = totals; }
    // A reply showed the channel as on; switched counts it as a switch (not
    // a state first heard).
    void changed(int board, int channel, bool on, bool switched, std::int64_t mono_ms,
                 std::int64_t wall_ms);
    // The board's replies up to reply_ms confirm what they showed.
    void confirmed(int board, std::int64_t reply_ms, std::int64_t wall_ms);
    // Silent, or the line lost: no time counts until resumed.
    void stopped(int board);
    // Answering again: what is on counts from reply_ms.
    void resumed(int board, std::int64_t reply_ms);

    Totals totals(int board, int channel) const;
    // What was added since the last take, per day.
    std::vector<RuntimeDelta> take_deltas();
    const QTimeZone& zone() const { return m_zone; }

private:
    struct Board {
        std::uint16_t on = 0;
        std::array<std::int64_t, 16> since{};  // counted up to; -1: not counting
        Board() { since.fill(-1); }
    };
    void add(int board, int channel, std::int64_t switches, std::int64_t ms, std::int64_t wall_ms);
    QString day_of(std::int64_t wall_ms);

    QTimeZone m_zone;
    std::map<int, Board> m_boards;
    std::map<HistoryStore::Channel, Totals> m_totals;
    std::map<std::tuple<int, int, QString>, Totals> m_deltas;
    std::int64_t m_day_from = 0, m_day_to = -1;  // the wall clock's current day
    QString m_day;
};

}  // namespace relay
