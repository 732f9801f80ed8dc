#include "history/runtime_counters.h"

#include <QDateTime>

#include <algorithm>

namespace relay {

void RuntimeCounters::changed(int board, int channel, bool on, bool switched, std::int64_t mono_ms,
                              std::int64_t wall_ms) {
    Board& known = m_boards[board];
    const auto bit = static_cast<std::uint16_t>(1u << (channel - 1));
    std::int64_t& since = known.since[static_cast<std::size_t>(channel - 1)];
    std::int64_t ms = 0;
    if ((known.on & bit) && since >= 0) {
        ms = std::max<std::int64_t>(0, mono_ms - since);
    }
    add(board, channel, switched ? 1 : 0, ms, wall_ms);
    known.on = static_cast<std::uint16_t>(on ? known.on | bit : known.on & ~bit);
    since = on ? mono_ms : -1;
}

void RuntimeCounters::confirmed(int board, std::int64_t reply_ms, std::int64_t wall_ms) {
    const auto it = m_boards.find(board);
    if (it == m_boards.end()) {
        return;
    }
    for (int channel = 1; channel <= 16; ++channel) {
        std::int64_t& since = it->second.since[static_cast<std::size_t>(channel - 1)];
        if ((it->second.on & (1u << (channel - 1))) && since >= 0 && reply_ms > since) {
            add(board, channel, 0, reply_ms - since, wall_ms);
            since = reply_ms;
        }
    }
}

void RuntimeCounters::stopped(int board) {
    m_boards[board].since.fill(-1);
}

void RuntimeCounters::resumed(int board, std::int64_t reply_ms) {
    Board& known = m_boards[board];
    for (int channel = 1; channel <= 16; ++channel) {
        if (known.on & (1u << (channel - 1))) {
            known.since[static_cast<std::size_t>(channel - 1)] = reply_ms;
        }
    }
}

RuntimeCounters::Totals RuntimeCounters::totals(int board, int channel) const {
    const auto it = m_totals.find({board, channel});
    return it == m_totals.end() ? Totals{} : it->second;
}

void RuntimeCounters::add(int board, int channel, std::int64_t switches, std::int64_t ms,
                          std::int64_t wall_ms) {
    if (switches == 0 && ms == 0) {
        return;
    }
    Totals& total = m_totals[{board, channel}];
    total.switches += switches;
    total.energised_ms += ms;
    Totals& delta = m_deltas[{board, channel, day_of(wall_ms)}];
    delta.switches += switches;
    delta.energised_ms += ms;
}

QString RuntimeCounters::day_of(std::int64_t wall_ms) {
    if (wall_ms < m_day_from || wall_ms >= m_day_to) {
        const QDate date = QDateTime::fromMSecsSinceEpoch(wall_ms, m_zone).date();
        m_day = date.toString(Qt::ISODate);
        m_day_from = QDateTime(date, QTime(0, 0), m_zone).toMSecsSinceEpoch();
        m_day_to = QDateTime(date.addDays(1), QTime(0, 0), m_zone).toMSecsSinceEpoch();
    }
    return m_day;
}

std::vector<RuntimeDelta> RuntimeCounters::take_deltas() {
    std::vector<RuntimeDelta> deltas;
    for (const auto& [key, delta] : m_deltas) {
        deltas.push_back({std::get<0>(key), std::get<1>(key), std::get<2>(key), delta.switches,
                          delta.energised_ms});
    }
    m_deltas.clear();
    return deltas;
}

}  // namespace relay
