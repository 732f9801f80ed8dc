#include "history/sqlite_db.h"

#include <sqlite3.h>

namespace relay {

SqliteDb::~SqliteDb() {
    sqlite3_close_v2(m_db);
}

bool SqliteDb::open(const QString& path, bool read_only, QString* error) {
    // A reader of a WAL database still writes its shared memory: read-write,
    // never made, and the caller asks for query_only.
    const int flags =
        read_only ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    if (sqlite3_open_v2(path.toUtf8().constData(), &m_db, flags | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        *error = error_text();
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        return false;
    }
    sqlite3_extended_result_codes(m_db, 1);
    // A checkpoint or another connection's write may hold the file a moment.
    sqlite3_busy_timeout(m_db, 2000);
    return true;
}

bool SqliteDb::exec(const char* sql, QString* error) {
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        *error = error_text();
        return false;
    }
    return true;
}

QString SqliteDb::error_text() const {
    return m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QStringLiteral("out of memory");
}

int SqliteDb::error_code() const {
    return m_db ? sqlite3_extended_errcode(m_db) : SQLITE_NOMEM;
}

SqliteDb::Statement::Statement(SqliteDb& db, const char* sql) {
    if (db.m_db) {
        sqlite3_prepare_v3(db.m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &m_statement, nullptr);
    }
}

SqliteDb::Statement::~Statement() {
    sqlite3_finalize(m_statement);
}

SqliteDb::Statement& SqliteDb::Statement::bind(int index, std::int64_t value) {
    sqlite3_bind_int64(m_statement, index, value);
    return *this;
}

SqliteDb::Statement& SqliteDb::Statement::bind(int index, const QString& text) {
    if (text.isNull()) {
        return bind_null(index);
    }
    const QByteArray bytes = text.toUtf8();
    sqlite3_bind_text(m_statement, index, bytes.constData(), static_cast<int>(bytes.size()),
                      SQLITE_TRANSIENT);
    return *this;
}

SqliteDb::Statement& SqliteDb::Statement::bind_null(int index) {
    sqlite3_bind_null(m_statement, index);
    return *this;
}

bool SqliteDb::Statement::step() {
    if (!m_statement) {
        m_done = false;
        return false;
    }
    const int result = sqlite3_step(m_statement);
    m_done = result == SQLITE_DONE;
    return result == SQLITE_ROW;
}

bool SqliteDb::Statement::run() {
    step();
    const bool done = m_done;
    reset();
    return done;
}

std::int64_t SqliteDb::Statement::integer(int column) const {
    return sqlite3_column_int64(m_statement, column);
}

QString SqliteDb::Statement::text(int column) const {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_statement, column));
    return text ? QString::fromUtf8(text, sqlite3_column_bytes(m_statement, column)) : QString();
}

bool SqliteDb::Statement::is_null(int column) const {
    return sqlite3_column_type(m_statement, column) == SQLITE_NULL;
}

void SqliteDb::Statement::reset() {
    sqlite3_reset(m_statement);
    sqlite3_clear_bindings(m_statement);
}

}  // namespace relay
