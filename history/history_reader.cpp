#include "history/history_reader.h"

namespace relay {

namespace {

HistorySource source_at(const SqliteDb::Statement& row, int column) {
    const auto empty_null = [](const QString& text) { return text.isEmpty() ? QString() : text; };
    return {row.text(column), empty_null(row.text(column + 1)), empty_null(row.text(column + 2))};
}

QString or_null(const QString& text) {
    return text.isEmpty() ? QString() : text;
}

}  // namespace

bool HistoryReader::open(QString* error) {
    return m_db.open(m_path, true, error) && m_db.exec("PRAGMA query_only = 1", error);
}

HistoryAnswer HistoryReader::history(const HistoryQuery& query) {
    HistoryAnswer answer;
    const int first = query.channel ? query.channel : 1;
    const int last = query.channel ? query.channel : 16;
    SqliteDb::Statement initial(m_db,
                                "SELECT state FROM changes WHERE board = ?1 AND channel = ?2 AND "
                                "t < ?3 ORDER BY t DESC LIMIT 1");
    for (int channel = first; channel <= last; ++channel) {
        if (initial.bind(1, query.board).bind(2, channel).bind(3, query.from_ms).step()) {
            answer.initial[static_cast<std::size_t>(channel - 1)] = initial.integer(0) != 0;
        }
        initial.reset();
    }
    // One range of the key per channel, then in time order.
    QByteArray channels;
    for (int channel = first; channel <= last; ++channel) {
        channels += (channels.isEmpty() ? "" : ",") + QByteArray::number(channel);
    }
    const std::int64_t wanted = query.limit + 1;
    if (query.changes) {
        const QByteArray sql =
            "SELECT c.t, c.channel, c.state, s.kind, s.detail, s.user FROM changes c "
            "JOIN sources s ON s.id = c.source WHERE c.board = ?1 AND c.channel IN (" +
            channels +
            ") AND c.t >= ?2 AND c.t <= ?3 AND (?4 IS NULL OR s.kind = ?4) AND "
            "(?5 IS NULL OR s.user = ?5) ORDER BY c.t LIMIT ?6";
        SqliteDb::Statement rows(m_db, sql.constData());
        rows.bind(1, query.board)
            .bind(2, query.from_ms)
            .bind(3, query.to_ms)
            .bind(4, or_null(query.source))
            .bind(5, or_null(query.user))
            .bind(6, wanted);
        while (rows.step()) {
            answer.changes.push_back({rows.integer(0), query.board,
                                      static_cast<int>(rows.integer(1)), rows.integer(2) != 0,
                                      source_at(rows, 3)});
        }
        if (!rows.done()) {
            answer.error = m_db.error_text();
        }
    }
    if (query.commands) {
        SqliteDb::Statement rows(
            m_db,
            "SELECT m.t, m.channels, m.what, s.kind, s.detail, s.user, m.outcome, m.reason "
            "FROM commands m JOIN sources s ON s.id = m.source WHERE m.board = ?1 AND "
            "m.t >= ?2 AND m.t <= ?3 AND (?4 = 0 OR (m.channels & ?4) != 0) AND "
            "(?5 IS NULL OR s.kind = ?5) AND (?6 IS NULL OR s.user = ?6) AND "
            "(?7 IS NULL OR m.outcome = ?7) ORDER BY m.t LIMIT ?8");
        rows.bind(1, query.board)
            .bind(2, query.from_ms)
            .bind(3, query.to_ms)
            .bind(4, query.channel ? std::int64_t{1} << (query.channel - 1) : 0)
            .bind(5, or_null(query.source))
            .bind(6, or_null(query.user))
            .bind(7, or_null(query.outcome))
            .bind(8, wanted);
        while (rows.step()) {
            answer.commands.push_back({rows.integer(0), query.board,
                                       static_cast<std::uint16_t>(rows.integer(1)), rows.text(2),
                                       source_at(rows, 3), rows.text(6), rows.text(7)});
        }
        if (!rows.done()) {
            answer.error = m_db.error_text();
        }
    }
    if (query.availability) {
        SqliteDb::Statement rows(m_db,
                                 "SELECT t, board, state FROM availability WHERE t >= ?2 AND "
                                 "t <= ?3 AND (board = ?1 OR board IS NULL) ORDER BY t LIMIT ?4");
        rows.bind(1, query.board).bind(2, query.from_ms).bind(3, query.to_ms).bind(4, wanted);
        while (rows.step()) {
            answer.availability.push_back({rows.integer(0),
                                           rows.is_null(1) ? -1 : static_cast<int>(rows.integer(1)),
                                           rows.text(2)});
        }
        if (!rows.done()) {
            answer.error = m_db.error_text();
        }
    }
    const auto cut = [&answer, &query](auto& rows) {
        if (rows.size() > static_cast<std::size_t>(query.limit)) {
            rows.resize(static_cast<std::size_t>(query.limit));
            answer.truncated = true;
        }
    };
    cut(answer.changes);
    cut(answer.commands);
    cut(answer.availability);
    return answer;
}

std::map<int, std::map<QString, HistoryStore::Totals>> HistoryReader::days(int board,
                                                                           const QString& from,
                                                                           const QString& to) {
    std::map<int, std::map<QString, HistoryStore::Totals>> days;
    SqliteDb::Statement rows(m_db,
                             "SELECT channel, day, switches, energised_ms FROM runtime_days "
                             "WHERE board = ?1 AND day >= ?2 AND day <= ?3");
    rows.bind(1, board).bind(2, from).bind(3, to);
    while (rows.step()) {
        days[static_cast<int>(rows.integer(0))][rows.text(1)] = {rows.integer(2), rows.integer(3)};
    }
    return days;
}

}  // namespace relay
