#pragma once

#include "history/history_store.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace relay {

// The history's database on a thread of its own, so that the event loop
// never waits for a slow SD card: batches handed over are written in one
// transaction each, the database is pruned by age and by size now and then,
// and a failure (a full disk, a read-only state) is logged once, with the
// rows kept for the next attempt up to a bound.
class HistoryWriter {
public:
    struct Settings {
        QString path;
        int keep_days = 400;
        std::int64_t max_bytes = 256LL << 20;
        int prune_every_ms = 3600 * 1000;
    };
    using Log = std::function<void(const QString&)>;  // called on the writer's thread
    // Rows kept while writes fail; older ones beyond it are dropped.
    static constexpr std::size_t MostPending = 200000;

    HistoryWriter(Settings settings, Log log);
    // Writes what was handed over, then stops.
    ~HistoryWriter();

    // At start, on the caller's thread: opens (making it when missing) and
    // reads the runtime totals. False and why when it cannot.
    bool open(std::map<HistoryStore::Channel, HistoryStore::Totals>* totals, QString* error);
    void add(HistoryBatch batch);
    // On a reader's thread: until what was handed over before the call has
    // been written (or failed to be), at most ms, so that a read sees it.
    void wait_written(int ms) const;
    // Handed over and not yet committed.
    std::size_t pending() const;
    std::uint64_t failed_writes() const { return m_failed_writes; }
    std::uint64_t committed_batches() const { return m_committed; }

private:
    void run();
    void write_pending();
    void prune();
    void failed(const QString& what, const QString& error);

    const Settings m_settings;
    Log m_log;
    HistoryStore m_store;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    HistoryBatch m_pending;  // guarded by m_mutex
    mutable std::condition_variable m_written;
    std::uint64_t m_handed = 0;  // batches handed over, guarded by m_mutex
    std::uint64_t m_tried = 0;   // of them written or failed, guarded by m_mutex
    std::size_t m_dropped = 0;
    bool m_stopping = false;
    bool m_failing = false;  // writer's thread only
    std::atomic<std::uint64_t> m_failed_writes{0};
    std::atomic<std::uint64_t> m_committed{0};
    std::thread m_thread;
};

}  // namespace relay
