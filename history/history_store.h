#pragma once

#include "history/history_rows.h"
#include "history/sqlite_db.h"

#include <QHash>
#include <QString>

#include <map>
#include <utility>

namespace relay {

// The history's database, written by one thread: its schema, a batch in one
// transaction, and pruning by age and by size. WAL, and every commit synced,
// so that a kill or a power cut keeps every committed row and the database
// opens as it was.
class HistoryStore {
public:
    static constexpr const char* FileName = "history.sqlite";
    static constexpr int OneDayMs = 24 * 3600 * 1000;

    struct Totals {
        std::int64_t switches = 0;
        std::int64_t energised_ms = 0;
    };
    using Channel = std::pair<int, int>;  // board, channel

    explicit HistoryStore(QString path) : m_path(std::move(path)) {}

    bool open(QString* error);
    const QString& path() const { return m_path; }
    // All or nothing; on failure nothing of the batch is kept.
    bool write(const HistoryBatch& batch, QString* error);
    std::map<Channel, Totals> totals();
    // Rows older than before_ms go, and runtime days before its day.
    bool prune_before(std::int64_t before_ms, QString* error);
    // The oldest days go until the data is under max_bytes.
    bool prune_to_size(std::int64_t max_bytes, QString* error);
    // Pages in use, free pages left out.
    std::int64_t used_bytes();
    // The file never grows beyond this, whatever pruning does (0: no limit).
    void set_size_limit(std::int64_t bytes);

private:
    std::int64_t source_id(const HistorySource& source, QString* error);
    std::int64_t oldest_ms();
    bool reclaim(QString* error);

    QString m_path;
    SqliteDb m_db;
    QHash<QString, std::int64_t> m_sources;
};

}  // namespace relay
