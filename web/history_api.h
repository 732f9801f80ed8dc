#pragma once

#include "history/history_reader.h"
#include "history/history_recorder.h"
#include "relayd/relay_bridge.h"
#include "web/web_exchange.h"

#include <QObject>

#include <memory>

namespace relay {

// GET /api/history and GET /api/boards/A/runtime: the history's rows read on
// a pool thread with a connection of their own, answered on the event loop.
class HistoryApi : public QObject {
    Q_OBJECT
public:
    using Held = std::shared_ptr<WebExchange>;
    static constexpr int DefaultLimit = 1000;
    // A week of a board that switches once a minute is 10,080 changes.
    static constexpr int MostLimit = 50000;
    static constexpr int DefaultDays = 7;
    static constexpr int MostDays = 400;
    // How long a read waits for the rows recorded before it to be written.
    static constexpr int WrittenWaitMs = 2000;

    HistoryApi(const RelayBridge& bridge, QObject* parent = nullptr);
    void set_recorder(HistoryRecorder* recorder) { m_recorder = recorder; }

    void serve_history(const Held& exchange, const QString& query);
    void serve_runtime(const Held& exchange, std::uint8_t address, const QString& query);

private:
    // Runs read on a pool thread; its answer is sent from the event loop.
    void answer_later(const Held& exchange,
                      std::function<std::pair<int, QByteArray>(HistoryReader&)> read,
                      const QByteArray& type);
    bool refuse_off(const Held& exchange);

    const RelayBridge& m_bridge;
    HistoryRecorder* m_recorder = nullptr;
};

// ms since the epoch, or ISO 8601 (without an offset: local time).
std::optional<std::int64_t> read_history_time(const QString& text);
// The history's rows as the API's JSON, and as CSV (a row per change and command).
QByteArray history_json(const HistoryQuery& query, const HistoryAnswer& answer);
QByteArray history_csv(const HistoryAnswer& answer);

}  // namespace relay
