#pragma once

#include "history/history_store.h"

#include <array>
#include <map>
#include <optional>

namespace relay {

// What the API asks of the history: one board's rows between two times.
struct HistoryQuery {
    int board = 0;
    int channel = 0;  // 0: every channel
    std::int64_t from_ms = 0;
    std::int64_t to_ms = 0;
    bool changes = true;
    bool commands = true;
    bool availability = true;
    QString source;    // a cause's or a command's kind; empty: any
    QString user;      // empty: anyone
    QString outcome;   // commands only; empty: any
    int limit = 1000;  // per kind
};

struct HistoryAnswer {
    // Each channel's state at from_ms as the history knows it.
    std::array<std::optional<bool>, 16> initial{};
    std::vector<ChangeRow> changes;
    std::vector<CommandRow> commands;
    std::vector<AvailabilityRow> availability;  // the board's and the line's
    bool truncated = false;                     // a kind had more rows than the limit
    QString error;
};

// Reads the history's database on its own connection, on any one thread at a
// time: WAL lets it read while the writer writes.
class HistoryReader {
public:
    explicit HistoryReader(QString path) : m_path(std::move(path)) {}

    bool open(QString* error);
    HistoryAnswer history(const HistoryQuery& query);
    // channel -> day (yyyy-MM-dd) -> what it added that day, days from..to.
    std::map<int, std::map<QString, HistoryStore::Totals>> days(int board, const QString& from,
                                                                const QString& to);

private:
    QString m_path;
    SqliteDb m_db;
};

}  // namespace relay
