#include "history/history_store.h"

#include <QDate>
#include <QDateTime>
#include <QTimeZone>

#include <sqlite3.h>

namespace relay {

namespace {

// Changes keyed by board, channel and time: a channel's latest state before
// a time is one look, a board's timeline one range per channel. Sources are
// kept once each and referred to.
const char* const Schema = R"(
PRAGMA auto_vacuum = INCREMENTAL;
PRAGMA journal_mode = WAL;
CREATE TABLE IF NOT EXISTS sources(
    id INTEGER PRIMARY KEY, kind TEXT NOT NULL, detail TEXT NOT NULL, user TEXT NOT NULL,
    UNIQUE(kind, detail, user));
CREATE TABLE IF NOT EXISTS changes(
    board INTEGER NOT NULL, channel INTEGER NOT NULL, t INTEGER NOT NULL,
    state INTEGER NOT NULL, source INTEGER NOT NULL,
    PRIMARY KEY(board, channel, t)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS commands(
    id INTEGER PRIMARY KEY, t INTEGER NOT NULL, board INTEGER NOT NULL,
    channels INTEGER NOT NULL, what TEXT NOT NULL, source INTEGER NOT NULL,
    outcome TEXT NOT NULL, reason TEXT);
CREATE INDEX IF NOT EXISTS commands_by_board ON commands(board, t);
CREATE TABLE IF NOT EXISTS availability(
    id INTEGER PRIMARY KEY, t INTEGER NOT NULL, board INTEGER, state TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS availability_by_time ON availability(t);
CREATE TABLE IF NOT EXISTS runtime(
    board INTEGER NOT NULL, channel INTEGER NOT NULL,
    switches INTEGER NOT NULL, energised_ms INTEGER NOT NULL,
    PRIMARY KEY(board, channel)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS runtime_days(
    board INTEGER NOT NULL, channel INTEGER NOT NULL, day TEXT NOT NULL,
    switches INTEGER NOT NULL, energised_ms INTEGER NOT NULL,
    PRIMARY KEY(board, channel, day)) WITHOUT ROWID;
PRAGMA user_version = 1;
)";

}  // namespace

bool HistoryStore::open(QString* error) {
    if (!m_db.open(m_path, false, error)) {
        return false;
    }
    // Synced at every commit: a power cut loses no committed batch.
    return m_db.exec(Schema, error) && m_db.exec("PRAGMA synchronous = FULL", error);
}

std::int64_t HistoryStore::source_id(const HistorySource& source, QString* error) {
    const QString key = source.kind + QChar(0) + source.detail + QChar(0) + source.user;
    if (const auto it = m_sources.constFind(key); it != m_sources.constEnd()) {
        return *it;
    }
    const QString detail = source.detail.isNull() ? QStringLiteral("") : source.detail;
    const QString user = source.user.isNull() ? QStringLiteral("") : source.user;
    SqliteDb::Statement insert(
        m_db, "INSERT OR IGNORE INTO sources(kind, detail, user) VALUES(?1, ?2, ?3)");
    SqliteDb::Statement find(
        m_db, "SELECT id FROM sources WHERE kind = ?1 AND detail = ?2 AND user = ?3");
    if (!insert.bind(1, source.kind).bind(2, detail).bind(3, user).run() ||
        !find.bind(1, source.kind).bind(2, detail).bind(3, user).step()) {
        *error = m_db.error_text();
        return -1;
    }
    const std::int64_t id = find.integer(0);
    m_sources.insert(key, id);
    return id;
}

bool HistoryStore::write(const HistoryBatch& batch, QString* error) {
    if (batch.empty()) {
        return true;
    }
    if (!m_db.exec("BEGIN IMMEDIATE", error)) {
        return false;
    }
    const auto failed = [this, error] {
        if (error->isEmpty()) {
            *error = m_db.error_text();
        }
        QString ignored;  // a failed statement may have ended the transaction already
        m_db.exec("ROLLBACK", &ignored);
        m_sources.clear();  // ids made in the transaction are gone with it
        return false;
    };
    SqliteDb::Statement change(m_db,
                               "INSERT OR REPLACE INTO changes(board, channel, t, state, source) "
                               "VALUES(?1, ?2, ?3, ?4, ?5)");
    for (const ChangeRow& row : batch.changes) {
        const std::int64_t source = source_id(row.cause, error);
        if (source < 0 || !change.bind(1, row.board)
                               .bind(2, row.channel)
                               .bind(3, row.t)
                               .bind(4, row.on ? 1 : 0)
                               .bind(5, source)
                               .run()) {
            return failed();
        }
    }
    SqliteDb::Statement command(
        m_db,
        "INSERT INTO commands(t, board, channels, what, source, outcome, reason) "
        "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    for (const CommandRow& row : batch.commands) {
        const std::int64_t source = source_id(row.source, error);
        if (source < 0 || !command.bind(1, row.t)
                               .bind(2, row.board)
                               .bind(3, row.channels)
                               .bind(4, row.what)
                               .bind(5, source)
                               .bind(6, row.outcome)
                               .bind(7, row.reason)
                               .run()) {
            return failed();
        }
    }
    SqliteDb::Statement availability(
        m_db, "INSERT INTO availability(t, board, state) VALUES(?1, ?2, ?3)");
    for (const AvailabilityRow& row : batch.availability) {
        availability.bind(1, row.t).bind(3, row.state);
        if (row.board < 0) {
            availability.bind_null(2);
        } else {
            availability.bind(2, row.board);
        }
        if (!availability.run()) {
            return failed();
        }
    }
    SqliteDb::Statement total(m_db,
                              "INSERT INTO runtime VALUES(?1, ?2, ?3, ?4) "
                              "ON CONFLICT(board, channel) DO UPDATE SET "
                              "switches = switches + excluded.switches, "
                              "energised_ms = energised_ms + excluded.energised_ms");
    SqliteDb::Statement day(m_db,
                            "INSERT INTO runtime_days VALUES(?1, ?2, ?3, ?4, ?5) "
                            "ON CONFLICT(board, channel, day) DO UPDATE SET "
                            "switches = switches + excluded.switches, "
                            "energised_ms = energised_ms + excluded.energised_ms");
    for (const RuntimeDelta& row : batch.runtime) {
        if (!total.bind(1, row.board)
                 .bind(2, row.channel)
                 .bind(3, row.switches)
                 .bind(4, row.energised_ms)
                 .run() ||
            !day.bind(1, row.board)
                 .bind(2, row.channel)
                 .bind(3, row.day)
                 .bind(4, row.switches)
                 .bind(5, row.energised_ms)
                 .run()) {
            return failed();
        }
    }
    if (!m_db.exec("COMMIT", error)) {
        return failed();
    }
    return true;
}

std::map<HistoryStore::Channel, HistoryStore::Totals> HistoryStore::totals() {
    std::map<Channel, Totals> totals;
    SqliteDb::Statement select(m_db, "SELECT board, channel, switches, energised_ms FROM runtime");
    while (select.step()) {
        totals[{static_cast<int>(select.integer(0)), static_cast<int>(select.integer(1))}] = {
            select.integer(2), select.integer(3)};
    }
    return totals;
}

bool HistoryStore::prune_before(std::int64_t before_ms, QString* error) {
    // Each board's rows through its index, never a scan of the whole table,
    // in one transaction: one sync for all.
    SqliteDb::Statement changes(m_db,
                                "DELETE FROM changes WHERE board = ?1 AND channel = ?2 AND t < ?3");
    SqliteDb::Statement commands(m_db, "DELETE FROM commands WHERE board = ?1 AND t < ?2");
    SqliteDb::Statement availability(m_db, "DELETE FROM availability WHERE t < ?1");
    SqliteDb::Statement days(m_db, "DELETE FROM runtime_days WHERE day < ?1");
    const QString day =
        QDateTime::fromMSecsSinceEpoch(before_ms, QTimeZone::utc()).date().toString(Qt::ISODate);
    if (!m_db.exec("BEGIN IMMEDIATE", error)) {
        return false;
    }
    bool ok = availability.bind(1, before_ms).run() && days.bind(1, day).run();
    for (int board = 0; ok && board <= 255; ++board) {
        ok = commands.bind(1, board).bind(2, before_ms).run();
        for (int channel = 1; ok && channel <= 16; ++channel) {
            ok = changes.bind(1, board).bind(2, channel).bind(3, before_ms).run();
        }
    }
    if (!ok || !m_db.exec("COMMIT", error)) {
        *error = m_db.error_text();
        QString ignored;
        m_db.exec("ROLLBACK", &ignored);
        return false;
    }
    return reclaim(error);
}

std::int64_t HistoryStore::oldest_ms() {
    SqliteDb::Statement select(m_db,
                               "SELECT min(t) FROM (SELECT min(t) AS t FROM changes GROUP BY "
                               "board, channel UNION ALL SELECT min(t) FROM commands)");
    return select.step() && !select.is_null(0) ? select.integer(0) : -1;
}

bool HistoryStore::prune_to_size(std::int64_t max_bytes, QString* error) {
    for (int day = 0; day < 4000 && used_bytes() > max_bytes; ++day) {
        const std::int64_t oldest = oldest_ms();
        if (oldest < 0) {
            return true;  // nothing left to prune: the rest is the schema
        }
        if (!prune_before(oldest + OneDayMs, error)) {
            return false;
        }
    }
    return true;
}

bool HistoryStore::reclaim(QString* error) {
    return m_db.exec("PRAGMA incremental_vacuum", error);
}

std::int64_t HistoryStore::used_bytes() {
    SqliteDb::Statement pages(m_db,
                              "SELECT page_count - freelist_count FROM pragma_page_count, "
                              "pragma_freelist_count");
    SqliteDb::Statement size(m_db, "PRAGMA page_size");
    return pages.step() && size.step() ? pages.integer(0) * size.integer(0) : 0;
}

void HistoryStore::set_size_limit(std::int64_t bytes) {
    SqliteDb::Statement size(m_db, "PRAGMA page_size");
    const std::int64_t page = size.step() ? size.integer(0) : 4096;
    const QByteArray sql =
        "PRAGMA max_page_count = " + QByteArray::number(bytes > 0 ? bytes / page : 1073741823);
    SqliteDb::Statement limit(m_db, sql.constData());
    limit.step();
}

}  // namespace relay
