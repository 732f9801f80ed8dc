#include "web/history_api.h"

#include "protocol/option_text.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QThreadPool>
#include <QUrlQuery>

namespace relay {

namespace {

QJsonValue text_or_null(const QString& text) {
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QJsonObject source_json(const HistorySource& source) {
    return {{QStringLiteral("kind"), source.kind},
            {QStringLiteral("detail"), text_or_null(source.detail)},
            {QStringLiteral("user"), text_or_null(source.user)}};
}

QString utc_text(std::int64_t ms) {
    return QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc()).toString(Qt::ISODateWithMs);
}

// A field as a spreadsheet takes it: quoted when it must be, and never read
// as a formula (a topic or a user name may start with =).
QByteArray csv_field(const QString& text) {
    QString field = text;
    if (!field.isEmpty() && QStringLiteral("=+-@\t\r").contains(field.front())) {
        field.prepend(QLatin1Char('\''));
    }
    if (field.contains(QLatin1Char(',')) || field.contains(QLatin1Char('"')) ||
        field.contains(QLatin1Char('\n')) || field.contains(QLatin1Char('\r'))) {
        field = QLatin1Char('"') + field.replace(QLatin1Char('"'), QStringLiteral("\"\"")) +
                QLatin1Char('"');
    }
    return field.toUtf8();
}

QByteArray error_body(const QString& why) {
    return QJsonDocument(QJsonObject{{QStringLiteral("error"), why}})
        .toJson(QJsonDocument::Compact);
}

}  // namespace

std::optional<std::int64_t> read_history_time(const QString& text) {
    bool number = false;
    const qlonglong ms = text.toLongLong(&number);
    if (number) {
        return ms >= 0 ? std::optional<std::int64_t>(ms) : std::nullopt;
    }
    const QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    return time.isValid() ? std::optional<std::int64_t>(time.toMSecsSinceEpoch()) : std::nullopt;
}

QByteArray history_json(const HistoryQuery& query, const HistoryAnswer& answer) {
    QJsonObject initial;
    for (int channel = 1; channel <= 16; ++channel) {
        if (query.channel && channel != query.channel) {
            continue;
        }
        const auto& state = answer.initial[static_cast<std::size_t>(channel - 1)];
        initial.insert(QString::number(channel),
                       state ? QJsonValue(*state ? QStringLiteral("ON") : QStringLiteral("OFF"))
                             : QJsonValue());
    }
    QJsonArray changes;
    for (const ChangeRow& row : answer.changes) {
        changes.append(QJsonObject{
            {QStringLiteral("t"), static_cast<qint64>(row.t)},
            {QStringLiteral("channel"), row.channel},
            {QStringLiteral("state"), row.on ? QStringLiteral("ON") : QStringLiteral("OFF")},
            {QStringLiteral("cause"), source_json(row.cause)}});
    }
    QJsonArray commands;
    for (const CommandRow& row : answer.commands) {
        commands.append(QJsonObject{{QStringLiteral("t"), static_cast<qint64>(row.t)},
                                    {QStringLiteral("channels"), channel_list(row.channels)},
                                    {QStringLiteral("what"), row.what},
                                    {QStringLiteral("source"), source_json(row.source)},
                                    {QStringLiteral("outcome"), row.outcome},
                                    {QStringLiteral("reason"), text_or_null(row.reason)}});
    }
    QJsonArray availability;
    for (const AvailabilityRow& row : answer.availability) {
        availability.append(
            QJsonObject{{QStringLiteral("t"), static_cast<qint64>(row.t)},
                        {QStringLiteral("board"), row.board < 0 ? QJsonValue() : row.board},
                        {QStringLiteral("state"), row.state}});
    }
    QJsonObject body{{QStringLiteral("board"), query.board},
                     {QStringLiteral("from"), static_cast<qint64>(query.from_ms)},
                     {QStringLiteral("to"), static_cast<qint64>(query.to_ms)},
                     {QStringLiteral("initial"), initial},
                     {QStringLiteral("truncated"), answer.truncated}};
    if (query.changes) {
        body.insert(QStringLiteral("changes"), changes);
    }
    if (query.commands) {
        body.insert(QStringLiteral("commands"), commands);
    }
    if (query.availability) {
        body.insert(QStringLiteral("availability"), availability);
    }
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

QByteArray history_csv(const HistoryAnswer& answer) {
    QByteArray csv = "time,kind,board,channels,state,source,detail,user,outcome,reason\r\n";
    std::size_t change = 0, command = 0;
    while (change < answer.changes.size() || command < answer.commands.size()) {
        const bool take_change = command >= answer.commands.size() ||
                                 (change < answer.changes.size() &&
                                  answer.changes[change].t <= answer.commands[command].t);
        QStringList fields;
        if (take_change) {
            const ChangeRow& row = answer.changes[change++];
            fields = {utc_text(row.t),
                      QStringLiteral("change"),
                      QString::number(row.board),
                      QString::number(row.channel),
                      row.on ? QStringLiteral("ON") : QStringLiteral("OFF"),
                      row.cause.kind,
                      row.cause.detail,
                      row.cause.user,
                      QString(),
                      QString()};
        } else {
            const CommandRow& row = answer.commands[command++];
            QStringList channels;
            for (const QJsonValue& channel : channel_list(row.channels)) {
                channels.append(QString::number(channel.toInt()));
            }
            fields = {utc_text(row.t),
                      QStringLiteral("command"),
                      QString::number(row.board),
                      channels.join(QLatin1Char(' ')),
                      row.what,
                      row.source.kind,
                      row.source.detail,
                      row.source.user,
                      row.outcome,
                      row.reason};
        }
        QByteArrayList encoded;
        for (const QString& field : fields) {
            encoded.append(csv_field(field));
        }
        csv += encoded.join(',') + "\r\n";
    }
    return csv;
}

HistoryApi::HistoryApi(const RelayBridge& bridge, QObject* parent)
    : QObject(parent), m_bridge(bridge) {}

bool HistoryApi::refuse_off(const Held& exchange) {
    if (m_recorder && m_recorder->keeping()) {
        return false;
    }
    exchange->refuse(503, QStringLiteral("relayd keeps no history (--no-history, or its database "
                                         "could not be opened: see the log)"));
    return true;
}

void HistoryApi::serve_history(const Held& exchange, const QString& query_text) {
    const QUrlQuery given(query_text);
    const auto value = [&given](const char* key) {
        return given.queryItemValue(QString::fromLatin1(key), QUrl::FullyDecoded);
    };
    const auto has = [&given](const char* key) {
        return given.hasQueryItem(QString::fromLatin1(key));
    };
    HistoryQuery query;
    const auto board = strict_decimal(value("board"), 0, 255);
    if (!board) {
        exchange->refuse(400, QStringLiteral("board=A is wanted, an address 0..255"));
        return;
    }
    if (!m_bridge.board(static_cast<std::uint8_t>(*board))) {
        exchange->refuse(404, QStringLiteral("board %1 is not served here").arg(*board));
        return;
    }
    query.board = *board;
    const auto channel =
        has("channel") ? strict_decimal(value("channel"), 1, 16) : std::optional<int>(0);
    // -1: not a time.
    const std::int64_t to = has("to") ? read_history_time(value("to")).value_or(-1)
                                      : QDateTime::currentMSecsSinceEpoch();
    const std::int64_t from = has("from") ? read_history_time(value("from")).value_or(-1)
                                          : std::max<std::int64_t>(0, to - HistoryStore::OneDayMs);
    const auto limit = has("limit") ? strict_decimal(value("limit"), 1, MostLimit)
                                    : std::optional<int>(DefaultLimit);
    const QString format = value("format");
    if (!channel || from < 0 || to < 0 || !limit || from > to ||
        (!format.isEmpty() && format != QLatin1String("csv") && format != QLatin1String("json"))) {
        exchange->refuse(400,
                         QStringLiteral("channel is 1..16, from and to ms since the epoch or "
                                        "ISO 8601 with from before to, limit 1..%1, format csv "
                                        "or json")
                             .arg(MostLimit));
        return;
    }
    query.channel = *channel;
    query.from_ms = from;
    query.to_ms = to;
    query.limit = *limit;
    if (has("kinds")) {
        const QStringList kinds = value("kinds").split(QLatin1Char(','));
        query.changes = kinds.contains(QLatin1String("changes"));
        query.commands = kinds.contains(QLatin1String("commands"));
        query.availability = kinds.contains(QLatin1String("availability"));
        for (const QString& kind : kinds) {
            if (kind != QLatin1String("changes") && kind != QLatin1String("commands") &&
                kind != QLatin1String("availability")) {
                exchange->refuse(400, QStringLiteral("kinds are changes, commands, availability"));
                return;
            }
        }
    }
    query.source = value("source");
    query.user = value("user");
    query.outcome = value("outcome");
    if (refuse_off(exchange)) {
        return;
    }
    const bool csv = format == QLatin1String("csv");
    m_recorder->flush();
    answer_later(
        exchange,
        [query, csv, writer = m_recorder->writer()](HistoryReader& reader) {
            // What was recorded before the request is in the answer.
            writer->wait_written(WrittenWaitMs);
            const HistoryAnswer answer = reader.history(query);
            if (!answer.error.isEmpty()) {
                return std::make_pair(500, error_body(answer.error));
            }
            return std::make_pair(200, csv ? history_csv(answer) : history_json(query, answer));
        },
        csv ? "text/csv; charset=utf-8" : "application/json");
}

void HistoryApi::serve_runtime(const Held& exchange, std::uint8_t address,
                               const QString& query_text) {
    const QUrlQuery given(query_text);
    const auto days =
        given.hasQueryItem(QStringLiteral("days"))
            ? strict_decimal(given.queryItemValue(QStringLiteral("days")), 1, MostDays)
            : std::optional<int>(DefaultDays);
    if (!days) {
        exchange->refuse(400, QStringLiteral("days is 1..%1").arg(MostDays));
        return;
    }
    if (refuse_off(exchange)) {
        return;
    }
    const RuntimeCounters& counters = m_recorder->counters();
    std::array<HistoryStore::Totals, 16> totals{};
    for (int channel = 1; channel <= 16; ++channel) {
        totals[static_cast<std::size_t>(channel - 1)] = counters.totals(address, channel);
    }
    const QDate today = QDateTime::currentDateTime().toTimeZone(counters.zone()).date();
    const int count = *days;
    answer_later(
        exchange,
        [address, totals, today, count](HistoryReader& reader) {
            const QDate first = today.addDays(1 - count);
            const auto kept =
                reader.days(address, first.toString(Qt::ISODate), today.toString(Qt::ISODate));
            QJsonArray channels;
            for (int channel = 1; channel <= 16; ++channel) {
                const auto of_channel = kept.find(channel);
                QJsonArray days;
                for (QDate day = first; day <= today; day = day.addDays(1)) {
                    HistoryStore::Totals added;
                    if (of_channel != kept.end()) {
                        const auto it = of_channel->second.find(day.toString(Qt::ISODate));
                        added = it == of_channel->second.end() ? added : it->second;
                    }
                    days.append(QJsonObject{
                        {QStringLiteral("day"), day.toString(Qt::ISODate)},
                        {QStringLiteral("switches"), static_cast<qint64>(added.switches)},
                        {QStringLiteral("energised_s"), added.energised_ms / 1000.0}});
                }
                const HistoryStore::Totals& total = totals[static_cast<std::size_t>(channel - 1)];
                channels.append(
                    QJsonObject{{QStringLiteral("channel"), channel},
                                {QStringLiteral("switches"), static_cast<qint64>(total.switches)},
                                {QStringLiteral("energised_s"), total.energised_ms / 1000.0},
                                {QStringLiteral("days"), days}});
            }
            return std::make_pair(200,
                                  QJsonDocument(QJsonObject{{QStringLiteral("board"), address},
                                                            {QStringLiteral("channels"), channels}})
                                      .toJson(QJsonDocument::Compact));
        },
        "application/json");
}

void HistoryApi::answer_later(const Held& exchange,
                              std::function<std::pair<int, QByteArray>(HistoryReader&)> read,
                              const QByteArray& type) {
    const QString path = m_recorder->database_path();
    QPointer<HistoryApi> self(this);
    QThreadPool::globalInstance()->start([self, exchange, read, type, path]() mutable {
        // The exchange goes on to the event loop and is let go of there only.
        Held held = std::move(exchange);
        HistoryReader reader(path);
        QString error;
        std::pair<int, QByteArray> answer =
            reader.open(&error) ? read(reader) : std::make_pair(500, error_body(error));
        const QByteArray content_type = answer.first == 200 ? type : QByteArray("application/json");
        // The exchange is the event loop's: answered there.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, held = std::move(held), answer, content_type] {
                if (self) {
                    held->send(answer.first, content_type, answer.second);
                }
            },
            Qt::QueuedConnection);
    });
}

}  // namespace relay
