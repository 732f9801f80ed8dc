#include "controller/bus_poller.h"

#include <algorithm>
#include <utility>

namespace relay {

ChannelBits reply_channels(const Frame& reply) {
    return static_cast<ChannelBits>(reply[ReplyHighBitmap] << 8 | reply[ReplyLowBitmap]);
}

BusPoller::BusPoller(FrameWriter writer, BusEvents& events)
    : m_writer(std::move(writer)), m_events(events) {}

void BusPoller::set_boards(const std::vector<std::uint8_t>& addresses) {
    std::vector<BoardState> boards;
    for (const std::uint8_t address : addresses) {
        const BoardState* known = board(address);
        BoardState fresh;
        fresh.address = address;
        boards.push_back(known ? *known : fresh);
    }
    m_boards = std::move(boards);
    for (const BoardState& board : m_boards) {
        m_counters[board.address];
    }
    m_cursor = std::min(m_cursor, m_boards.size());
}

const BoardState* BusPoller::board(std::uint8_t address) const {
    const auto it = std::find_if(m_boards.begin(), m_boards.end(),
                                 [address](const BoardState& b) { return b.address == address; });
    return it == m_boards.end() ? nullptr : &*it;
}

BoardState* BusPoller::find(std::uint8_t address) {
    return const_cast<BoardState*>(std::as_const(*this).board(address));
}

void BusPoller::send_command(std::uint8_t address, std::uint8_t command, std::uint8_t data1,
                             std::uint8_t data2, int origin, FrameCause cause) {
    if (!m_line_open) {
        // Never kept for later: switching when the line comes back would
        // surprise whoever asked long ago. It counts as gone out, unanswered.
        m_sent_sequence = ++m_last_sequence;
        return;
    }
    m_queue.push_back(
        {build_frame(address, command, data1, data2), ++m_last_sequence, origin, cause});
}

int BusPoller::expect(std::uint8_t address, ChannelBits mask, ChannelBits wanted, int timeout_ms) {
    Job job;
    job.id = ++m_last_job;
    job.address = address;
    job.mask = mask;
    job.wanted = wanted & mask;
    job.after_sequence = m_last_sequence;
    job.timeout_ms = timeout_ms;
    m_jobs.push_back(job);
    return job.id;
}

bool BusPoller::commands_pending() const {
    return !m_queue.empty() || (m_in_flight && m_in_flight->sequence != 0);
}

void BusPoller::start_scan(int from, int to, int wait_ms) {
    m_scanning = true;
    m_scan_next = from;
    m_scan_to = to;
    m_scan_wait_ms = wait_ms;
}

void BusPoller::line_closed(std::int64_t now_ms) {
    m_line_open = false;
    m_in_flight.reset();
    m_queue.clear();
    // What was dropped counts as gone out: its jobs run out their time.
    m_sent_sequence = m_last_sequence;
    for (BoardState& board : m_boards) {
        board.unanswered = 0;
        board.quiet_since_ms = now_ms;
        set_availability(board, Availability::Offline);
    }
}

void BusPoller::line_opened() {
    m_line_open = true;
    m_cycle_start_ms.reset();
    m_cursor = m_boards.size();
}

void BusPoller::advance(std::int64_t now_ms) {
    arm_jobs(now_ms);
    expire(now_ms);
    if (!m_in_flight && m_line_open) {
        send_next(now_ms);
    }
}

void BusPoller::receive(const Frame& group, std::int64_t now_ms) {
    if (!m_line_open) {
        return;
    }
    if (!check_reply(group)) {
        if (m_in_flight) {
            m_in_flight->broken_reply = true;
        }
        return;
    }
    apply(group, now_ms);
    m_events.replied(group);
    check_jobs(group, now_ms);
    const bool answers = m_in_flight && (m_in_flight->frame[1] == group[ReplyAddress] ||
                                         m_in_flight->frame[1] == ServiceAddress);
    if (m_in_flight && !answers) {
        m_in_flight->other_board = true;
    }
    if (answers) {
        m_round_trip_ms[group[ReplyAddress]] = now_ms - m_in_flight->started_ms;
        count_answered(m_in_flight->frame[1], now_ms - m_in_flight->started_ms);
        const int origin = m_in_flight->origin;
        m_in_flight.reset();
        if (origin != 0) {
            m_events.answered(origin, group);
        }
        advance(now_ms);
    }
}

std::optional<std::int64_t> BusPoller::next_deadline_ms() const {
    std::optional<std::int64_t> next;
    const auto consider = [&next](std::int64_t at) { next = next ? std::min(*next, at) : at; };
    if (m_in_flight) {
        consider(m_in_flight->deadline_ms);
    } else if (m_line_open && !m_boards.empty()) {
        const std::int64_t poll = m_cycle_start_ms ? *m_cycle_start_ms + CycleMs : 0;
        consider(m_held_until ? std::max(poll, *m_held_until) : poll);
    }
    for (const Job& job : m_jobs) {
        if (job.deadline_ms >= 0) {
            consider(job.deadline_ms);
        }
    }
    return next;
}

void BusPoller::send_next(std::int64_t now_ms) {
    if (!m_queue.empty()) {
        const Queued next = m_queue.front();
        m_queue.pop_front();
        start(next.frame, next.sequence, m_reply_wait_ms, now_ms, next.origin, next.cause);
        m_sent_sequence = next.sequence;
        arm_jobs(now_ms);
        return;
    }
    if (m_scanning) {
        if (m_scan_next <= m_scan_to) {
            const int address = m_scan_next++;
            m_events.scan_progress(address);
            start(build_frame(static_cast<std::uint8_t>(address), cmd::Status, 0, 0), 0,
                  m_scan_wait_ms, now_ms);
            return;
        }
        m_scanning = false;
        m_events.scan_finished();
    }
    if (m_boards.empty()) {
        return;
    }
    if (m_cursor >= m_boards.size()) {
        if (m_cycle_start_ms && now_ms < *m_cycle_start_ms + CycleMs) {
            return;
        }
        m_cursor = 0;
    }
    BoardState& board = m_boards[m_cursor];
    if (held_back(board, now_ms)) {
        m_held_until = now_ms < *m_keep_free_at ? *m_keep_free_at : m_keep_free_until;
        return;
    }
    m_held_until.reset();
    if (m_cursor++ == 0) {
        m_cycle_start_ms = now_ms;
    }
    if (board.quiet_since_ms < 0) {
        board.quiet_since_ms = now_ms;
    }
    start(build_frame(board.address, cmd::Status, 0, 0), 0, m_reply_wait_ms, now_ms);
}

void BusPoller::start(const Frame& frame, long sequence, int wait_ms, std::int64_t now_ms,
                      int origin, FrameCause cause) {
    m_in_flight = Exchange{frame, sequence, now_ms, now_ms + wait_ms, origin, false, false};
    m_writing_cause = cause;
    m_writer(frame);
    m_writing_cause = {};
}

void BusPoller::count_unanswered(const Exchange& exchange) {
    const auto it = m_counters.find(exchange.frame[1]);
    if (it == m_counters.end()) {
        return;
    }
    BusCounters& counters = it->second;
    ++(exchange.broken_reply  ? counters.bad_checksum
       : exchange.other_board ? counters.wrong_address
                              : counters.timeout);
}

void BusPoller::count_answered(std::uint8_t address, std::int64_t latency_ms) {
    const auto it = m_counters.find(address);
    if (it == m_counters.end()) {
        return;
    }
    BusCounters& counters = it->second;
    ++counters.ok;
    counters.latency_sum_ms += static_cast<std::uint64_t>(std::max<std::int64_t>(0, latency_ms));
    const auto bucket =
        std::lower_bound(BusCounters::BucketsMs.begin(), BusCounters::BucketsMs.end(), latency_ms);
    if (bucket != BusCounters::BucketsMs.end()) {
        ++counters.within[static_cast<std::size_t>(bucket - BusCounters::BucketsMs.begin())];
    }
}

bool BusPoller::held_back(const BoardState& board, std::int64_t now_ms) const {
    if (!m_keep_free_at) {
        return false;
    }
    if (now_ms >= *m_keep_free_at) {
        return now_ms < m_keep_free_until;
    }
    // A board that answered takes about as long again, give or take the
    // scheduler's jitter; one that did not, the whole wait.
    const auto it = m_round_trip_ms.find(board.address);
    const std::int64_t exchange = it != m_round_trip_ms.end() && board.unanswered == 0
                                      ? it->second + 3 + it->second / 8
                                      : m_reply_wait_ms;
    return now_ms + exchange > *m_keep_free_at;
}

void BusPoller::expire(std::int64_t now_ms) {
    if (m_in_flight && now_ms >= m_in_flight->deadline_ms) {
        const Frame request = m_in_flight->frame;
        count_unanswered(*m_in_flight);
        m_in_flight.reset();
        if (BoardState* board = find(request[1])) {
            ++board->unanswered;
            if (board->unanswered >= SilentExchanges &&
                now_ms - board->quiet_since_ms >= SilenceMs) {
                set_availability(*board, Availability::Offline);
            }
        }
        m_events.unanswered(request);
    }
    for (std::size_t i = 0; i < m_jobs.size();) {
        const Job job = m_jobs[i];
        if (job.deadline_ms >= 0 && now_ms >= job.deadline_ms) {
            m_jobs.erase(m_jobs.begin() + static_cast<std::ptrdiff_t>(i));
            m_events.job_finished(job.id,
                                  job.answered ? JobResult::NotVerified : JobResult::NoReply);
        } else {
            ++i;
        }
    }
}

void BusPoller::apply(const Frame& reply, std::int64_t now_ms) {
    BoardState* board = find(reply[ReplyAddress]);
    if (!board) {
        return;
    }
    board->channels = reply_channels(reply);
    board->last_reply_ms = now_ms;
    board->quiet_since_ms = now_ms;
    board->unanswered = 0;
    set_availability(*board, Availability::Online);
}

void BusPoller::set_availability(BoardState& board, Availability availability) {
    if (board.availability != availability) {
        board.availability = availability;
        m_events.availability_changed(board);
    }
}

void BusPoller::arm_jobs(std::int64_t now_ms) {
    for (Job& job : m_jobs) {
        if (job.deadline_ms < 0 && job.after_sequence <= m_sent_sequence) {
            job.deadline_ms = now_ms + job.timeout_ms;
        }
    }
}

void BusPoller::check_jobs(const Frame& reply, std::int64_t now_ms) {
    const std::uint8_t address = reply[ReplyAddress];
    for (std::size_t i = 0; i < m_jobs.size();) {
        Job& job = m_jobs[i];
        // Only replies after the job's own commands went out count.
        if (job.address != address || job.deadline_ms < 0 || job.deadline_ms < now_ms) {
            ++i;
            continue;
        }
        job.answered = true;
        if ((reply_channels(reply) & job.mask) == job.wanted) {
            const int id = job.id;
            m_jobs.erase(m_jobs.begin() + static_cast<std::ptrdiff_t>(i));
            m_events.job_finished(id, JobResult::Verified);
        } else {
            ++i;
        }
    }
}

}  // namespace relay
