#pragma once

#include "controller/board_controller.h"
#include "protocol/frame.h"

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

namespace relay {

// Channel states as a board reports them: bit 0 is channel 1.
using ChannelBits = std::uint16_t;

ChannelBits reply_channels(const Frame& reply);

enum class Availability { Unknown, Online, Offline };

struct BoardState {
    std::uint8_t address = 0;
    Availability availability = Availability::Unknown;
    std::optional<ChannelBits> channels;  // from the board's last reply
    std::int64_t last_reply_ms = -1;
    // Since when the board has not answered: its last reply, else its first poll.
    std::int64_t quiet_since_ms = -1;
    int unanswered = 0;  // exchanges since the last reply
};

enum class JobResult { Verified, NotVerified, NoReply };

// Who asked for a frame, so that a change the board's reply shows can be put
// down to it. The poller only carries it to the frame's write.
struct FrameCause {
    enum class Kind { None, Command, Pulse, Interlock, Momentary, Shared };
    Kind kind = Kind::None;
    int tag = 0;  // the asker's own: a command's number, a shared port
};

// What the line did for one board, for metrics: each exchange counted once,
// with the reason it was not answered. A scrape only reads them.
struct BusCounters {
    // Upper bounds of the reply latency histogram's buckets.
    static constexpr std::array<int, 10> BucketsMs{5, 10, 15, 20, 25, 30, 40, 50, 75, 100};
    std::uint64_t ok = 0;
    std::uint64_t timeout = 0;
    std::uint64_t bad_checksum = 0;                        // a reply came, but broken
    std::uint64_t wrong_address = 0;                       // a valid reply of another board
    std::array<std::uint64_t, BucketsMs.size()> within{};  // replies per bucket, not cumulative
    std::uint64_t latency_sum_ms = 0;
};

// What the poller concluded; the program turns it into output.
class BusEvents {
public:
    virtual ~BusEvents() = default;
    // Every valid reply, after it has been applied to a served board.
    virtual void replied(const Frame& reply) = 0;
    virtual void availability_changed(const BoardState& board) = 0;
    virtual void job_finished(int job, JobResult result) = 0;
    // An exchange whose wait passed without a reply.
    virtual void unanswered(const Frame& request) = 0;
    virtual void scan_progress(int address) = 0;
    virtual void scan_finished() = 0;
    // The reply to a command that was queued with an origin.
    virtual void answered(int /*origin*/, const Frame& /*reply*/) {}
};

// Several boards on one line, without the line: the program feeds it the time,
// and the port's 8-byte groups, and it hands frames to the writer. One exchange
// at a time: a frame goes out, then the next one as soon as the reply arrived or
// its wait passed. Commands go ahead of everything else, a scan ahead of polls.
// A poll cycle queries every board once and starts every CycleMs, or right after
// the last one when a cycle takes longer.
class BusPoller {
public:
    // The panel's pace.
    static constexpr int CycleMs = BoardController::TickMilliseconds;
    // A reply later than this is taken for lost; a line's round trip is ~20 ms.
    static constexpr int DefaultReplyWaitMs = 100;
    // The panel's watchdog: about a second without a reply, and at least two
    // polls unanswered, and the board counts as silent.
    static constexpr int SilenceMs = 1000;
    static constexpr int SilentExchanges = 2;

    BusPoller(FrameWriter writer, BusEvents& events);

    // The boards to poll, in this order. Kept boards keep what is known.
    void set_boards(const std::vector<std::uint8_t>& addresses);
    const std::vector<BoardState>& boards() const { return m_boards; }
    const BoardState* board(std::uint8_t address) const;
    void set_reply_wait(int ms) { m_reply_wait_ms = ms; }

    // Queued ahead of polls, sent in order. A command with an origin has its
    // reply handed back through answered().
    void send_command(std::uint8_t address, std::uint8_t command, std::uint8_t data1,
                      std::uint8_t data2, int origin = 0, FrameCause cause = {});
    // Who asked for the frame being written, while the writer is called.
    const FrameCause& writing_cause() const { return m_writing_cause; }
    // Per served board; empty for one never polled.
    const std::map<std::uint8_t, BusCounters>& counters() const { return m_counters; }
    // Verification: Verified once a reply of the board, after every command
    // queued so far has gone out, shows the channels of mask as in wanted;
    // NotVerified or NoReply when timeout_ms have passed since then.
    int expect(std::uint8_t address, ChannelBits mask, ChannelBits wanted, int timeout_ms);
    bool commands_pending() const;

    // Status queries to every address of the range, each waited for wait_ms.
    void start_scan(int from, int to, int wait_ms);

    // The line closed (device gone): every board goes offline, queued commands
    // are dropped, nothing is sent until it opens again.
    void line_closed(std::int64_t now_ms);
    // Polling starts again at the next advance().
    void line_opened();

    // A frame falls due at at_ms (a pulse's release, a schedule's run): no poll
    // that would still be on the line then is started, so that it goes out on
    // time, nor one from then until until_ms, while the frame is on its way
    // from whoever is due to send it. Commands are never held.
    void keep_free_at(std::optional<std::int64_t> at_ms, std::int64_t until_ms = 0) {
        m_keep_free_at = at_ms;
        m_keep_free_until = at_ms ? std::max(*at_ms, until_ms) : 0;
    }

    // Call at next_deadline_ms() and after anything was queued.
    void advance(std::int64_t now_ms);
    void receive(const Frame& group, std::int64_t now_ms);
    // When advance() has something to do; nothing while idle for good.
    std::optional<std::int64_t> next_deadline_ms() const;

private:
    struct Queued {
        Frame frame{};
        long sequence = 0;
        int origin = 0;
        FrameCause cause;
    };
    struct Exchange {
        Frame frame{};
        long sequence = 0;  // 0: not a command
        std::int64_t started_ms = 0;
        std::int64_t deadline_ms = 0;
        int origin = 0;
        bool broken_reply = false;  // a reply with a bad checksum came meanwhile
        bool other_board = false;   // a valid reply of another address came
    };
    struct Job {
        int id = 0;
        std::uint8_t address = 0;
        ChannelBits mask = 0;
        ChannelBits wanted = 0;
        long after_sequence = 0;
        int timeout_ms = 0;
        std::int64_t deadline_ms = -1;  // set once its commands are out
        bool answered = false;
    };

    BoardState* find(std::uint8_t address);
    void send_next(std::int64_t now_ms);
    void start(const Frame& frame, long sequence, int wait_ms, std::int64_t now_ms, int origin = 0,
               FrameCause cause = {});
    void count_unanswered(const Exchange& exchange);
    void count_answered(std::uint8_t address, std::int64_t latency_ms);
    void expire(std::int64_t now_ms);
    void apply(const Frame& reply, std::int64_t now_ms);
    void set_availability(BoardState& board, Availability availability);
    void arm_jobs(std::int64_t now_ms);
    void check_jobs(const Frame& reply, std::int64_t now_ms);
    // Whether polling board now would still be on the line at m_keep_free_at.
    bool held_back(const BoardState& board, std::int64_t now_ms) const;

    FrameWriter m_writer;
    BusEvents& m_events;
    std::vector<BoardState> m_boards;
    std::deque<Queued> m_queue;
    std::vector<Job> m_jobs;
    std::optional<Exchange> m_in_flight;
    long m_last_sequence = 0;
    long m_sent_sequence = 0;
    int m_last_job = 0;
    int m_reply_wait_ms = DefaultReplyWaitMs;
    std::size_t m_cursor = 0;
    std::optional<std::int64_t> m_cycle_start_ms;
    std::optional<std::int64_t> m_keep_free_at;
    std::int64_t m_keep_free_until = 0;
    std::optional<std::int64_t> m_held_until;              // a poll held back until then
    std::map<std::uint8_t, std::int64_t> m_round_trip_ms;  // of each board's last answer
    std::map<std::uint8_t, BusCounters> m_counters;
    FrameCause m_writing_cause;
    bool m_line_open = true;
    bool m_scanning = false;
    int m_scan_next = 0;
    int m_scan_to = -1;
    int m_scan_wait_ms = 0;
};

}  // namespace relay
