#include "history/history_writer.h"

#include <QDateTime>

#include <chrono>

namespace relay {

namespace {

template <typename Row>
void append(std::vector<Row>& to, std::vector<Row>& from) {
    to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

}  // namespace

HistoryWriter::HistoryWriter(Settings settings, Log log)
    : m_settings(std::move(settings)), m_log(std::move(log)), m_store(m_settings.path) {}

HistoryWriter::~HistoryWriter() {
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool HistoryWriter::open(std::map<HistoryStore::Channel, HistoryStore::Totals>* totals,
                         QString* error) {
    if (!m_store.open(error)) {
        return false;
    }
    // A ceiling well above the size kept: whatever happens to pruning, the
    // database never fills the card.
    m_store.set_size_limit(m_settings.max_bytes * 2 + (16LL << 20));
    *totals = m_store.totals();
    m_thread = std::thread([this] { run(); });
    return true;
}

void HistoryWriter::add(HistoryBatch batch) {
    if (batch.empty()) {
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        ++m_handed;
        append(m_pending.changes, batch.changes);
        append(m_pending.commands, batch.commands);
        append(m_pending.availability, batch.availability);
        append(m_pending.runtime, batch.runtime);
        // While writes fail, the oldest changes go first; the counters' deltas stay.
        if (m_pending.changes.size() > MostPending) {
            const std::size_t over = m_pending.changes.size() - MostPending;
            m_pending.changes.erase(m_pending.changes.begin(),
                                    m_pending.changes.begin() + static_cast<std::ptrdiff_t>(over));
            m_dropped += over;
        }
        if (m_pending.commands.size() > MostPending / 10) {
            const std::size_t over = m_pending.commands.size() - MostPending / 10;
            m_pending.commands.erase(
                m_pending.commands.begin(),
                m_pending.commands.begin() + static_cast<std::ptrdiff_t>(over));
            m_dropped += over;
        }
    }
    m_wake.notify_one();
}

std::size_t HistoryWriter::pending() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_pending.size();
}

void HistoryWriter::run() {
    prune();
    auto next_prune =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(m_settings.prune_every_ms);
    std::unique_lock<std::mutex> lock(m_mutex);
    while (true) {
        m_wake.wait_until(lock, next_prune, [this] { return m_stopping || !m_pending.empty(); });
        const bool stopping = m_stopping;
        lock.unlock();
        write_pending();
        if (std::chrono::steady_clock::now() >= next_prune) {
            prune();
            next_prune = std::chrono::steady_clock::now() +
                         std::chrono::milliseconds(m_settings.prune_every_ms);
        }
        lock.lock();
        if (stopping) {
            return;
        }
        if (m_failing) {
            // Tried again a second later, not in a tight loop.
            m_wake.wait_for(lock, std::chrono::seconds(1), [this] { return m_stopping; });
        }
    }
}

void HistoryWriter::wait_written(int ms) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    const std::uint64_t handed = m_handed;
    m_written.wait_for(lock, std::chrono::milliseconds(ms),
                       [this, handed] { return m_tried >= handed; });
}

void HistoryWriter::write_pending() {
    HistoryBatch batch;
    std::size_t dropped = 0;
    std::uint64_t handed = 0;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        batch = std::move(m_pending);
        m_pending = {};
        dropped = std::exchange(m_dropped, 0);
        handed = m_handed;
    }
    const auto tried = [this, handed] {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_tried = handed;
        m_written.notify_all();
    };
    if (batch.empty()) {
        tried();
        return;
    }
    QString error;
    if (m_store.write(batch, &error)) {
        ++m_committed;
        tried();
        if (m_failing) {
            m_failing = false;
            m_log(QStringLiteral("history: writing again to %1%2")
                      .arg(m_settings.path,
                           dropped ? QStringLiteral(" (%1 rows were lost meanwhile)").arg(dropped)
                                   : QString()));
        }
        if (m_store.used_bytes() > m_settings.max_bytes) {
            prune();
        }
        return;
    }
    ++m_failed_writes;
    failed(QStringLiteral("cannot write to %1").arg(m_settings.path), error);
    // Kept for the next attempt, in front of what came meanwhile.
    const std::lock_guard<std::mutex> lock(m_mutex);
    append(batch.changes, m_pending.changes);
    append(batch.commands, m_pending.commands);
    append(batch.availability, m_pending.availability);
    append(batch.runtime, m_pending.runtime);
    m_pending = std::move(batch);
    m_dropped += dropped;
    m_tried = handed;
    m_written.notify_all();
}

void HistoryWriter::prune() {
    const std::int64_t before =
        QDateTime::currentMSecsSinceEpoch() -
        static_cast<std::int64_t>(m_settings.keep_days) * HistoryStore::OneDayMs;
    QString error;
    if (!m_store.prune_before(before, &error) ||
        !m_store.prune_to_size(m_settings.max_bytes, &error)) {
        failed(QStringLiteral("cannot prune %1").arg(m_settings.path), error);
    }
}

void HistoryWriter::failed(const QString& what, const QString& error) {
    if (m_failing) {
        return;  // said once until it works again
    }
    m_failing = true;
    m_log(QStringLiteral("history: %1: %2; relayd goes on switching, and keeps the rows of the "
                         "next minutes in memory until it can write them")
              .arg(what, error));
}

}  // namespace relay
