#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

struct sqlite3;
struct sqlite3_stmt;

namespace relay {

// One SQLite connection, used by one thread at a time, and its statements.
// Every failure is kept as text (and its code) for the caller to log.
class SqliteDb {
public:
    SqliteDb() = default;
    ~SqliteDb();
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;

    bool open(const QString& path, bool read_only, QString* error);
    bool is_open() const { return m_db != nullptr; }
    bool exec(const char* sql, QString* error);
    sqlite3* handle() const { return m_db; }
    QString error_text() const;
    int error_code() const;

    // A prepared statement, reset for reuse each time it is run.
    class Statement {
    public:
        Statement(SqliteDb& db, const char* sql);
        ~Statement();
        Statement(const Statement&) = delete;
        Statement& operator=(const Statement&) = delete;
        bool ok() const { return m_statement != nullptr; }
        Statement& bind(int index, std::int64_t value);
        Statement& bind(int index, const QString& text);  // null when the text is
        Statement& bind_null(int index);
        // true while there is a row; false when done or failed (see done()).
        bool step();
        bool done() const { return m_done; }
        // One step for a statement that returns no rows.
        bool run();
        std::int64_t integer(int column) const;
        QString text(int column) const;
        bool is_null(int column) const;
        void reset();

    private:
        sqlite3_stmt* m_statement = nullptr;
        bool m_done = false;
    };

private:
    sqlite3* m_db = nullptr;
};

}  // namespace relay
