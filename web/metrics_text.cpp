#include "web/metrics_text.h"

namespace relay {

namespace {

class Text {
public:
    void family(const char* name, const char* type, const char* help) {
        m_text += QByteArrayLiteral("# HELP ") + name + ' ' + help + '\n';
        m_text += QByteArrayLiteral("# TYPE ") + name + ' ' + type + '\n';
    }
    void sample(const QByteArray& name, const QByteArray& labels, const QByteArray& value) {
        m_text += name;
        if (!labels.isEmpty()) {
            m_text += '{' + labels + '}';
        }
        m_text += ' ' + value + '\n';
    }
    QByteArray& text() { return m_text; }

private:
    QByteArray m_text;
};

QByteArray board_label(int board) {
    return "board=\"" + QByteArray::number(board) + '"';
}

QByteArray seconds(std::int64_t ms) {
    return QByteArray::number(static_cast<double>(ms) / 1000.0, 'g', 15);
}

}  // namespace

QByteArray metrics_text(const MetricsSources& sources) {
    const RelayBridge& bridge = sources.bridge;
    Text out;
    out.family("relayd_build_info", "gauge", "relayd's version, always 1.");
    out.sample("relayd_build_info", "version=\"" RELAY_VERSION "\"", "1");
    out.family("relayd_line_open", "gauge", "Whether the serial line is open.");
    out.sample("relayd_line_open", {}, bridge.line_open() ? "1" : "0");
    out.family("relayd_board_up", "gauge", "Whether the board answers its polls.");
    for (const BoardState& board : bridge.boards()) {
        out.sample("relayd_board_up", board_label(board.address),
                   board.availability == Availability::Online ? "1" : "0");
    }
    const auto& counters = bridge.switchboard().poller().counters();
    const auto counted = [&](const BoardState& board) {
        const auto it = counters.find(board.address);
        return it == counters.end() ? BusCounters{} : it->second;
    };
    out.family("relayd_bus_requests_total", "counter",
               "Exchanges on the line by board and result: ok, timeout (no reply), "
               "bad_checksum (a broken reply), wrong_address (another board's reply).");
    for (const BoardState& board : bridge.boards()) {
        const BusCounters bus = counted(board);
        const std::pair<const char*, std::uint64_t> results[] = {
            {"ok", bus.ok},
            {"timeout", bus.timeout},
            {"bad_checksum", bus.bad_checksum},
            {"wrong_address", bus.wrong_address}};
        for (const auto& [result, count] : results) {
            out.sample("relayd_bus_requests_total",
                       board_label(board.address) + ",result=\"" + result + '"',
                       QByteArray::number(count));
        }
    }
    out.family("relayd_bus_reply_latency_seconds", "histogram",
               "From a frame's write to its reply, answered exchanges only.");
    for (const BoardState& board : bridge.boards()) {
        const BusCounters bus = counted(board);
        const QByteArray label = board_label(board.address);
        std::uint64_t within = 0;
        for (std::size_t i = 0; i < BusCounters::BucketsMs.size(); ++i) {
            within += bus.within[i];
            out.sample("relayd_bus_reply_latency_seconds_bucket",
                       label + ",le=\"" + seconds(BusCounters::BucketsMs[i]) + '"',
                       QByteArray::number(within));
        }
        out.sample("relayd_bus_reply_latency_seconds_bucket", label + ",le=\"+Inf\"",
                   QByteArray::number(bus.ok));
        out.sample("relayd_bus_reply_latency_seconds_sum", label,
                   seconds(static_cast<std::int64_t>(bus.latency_sum_ms)));
        out.sample("relayd_bus_reply_latency_seconds_count", label, QByteArray::number(bus.ok));
    }
    if (sources.history) {
        const RuntimeCounters& runtime = sources.history->counters();
        out.family("relayd_channel_switches_total", "counter",
                   "Changes of a channel's state that replies showed, either way.");
        for (const BoardState& board : bridge.boards()) {
            for (int channel = 1; channel <= ChannelCount; ++channel) {
                out.sample(
                    "relayd_channel_switches_total",
                    board_label(board.address) + ",channel=\"" + QByteArray::number(channel) + '"',
                    QByteArray::number(runtime.totals(board.address, channel).switches));
            }
        }
        out.family("relayd_channel_energised_seconds_total", "counter",
                   "Time replies showed a channel energised.");
        for (const BoardState& board : bridge.boards()) {
            for (int channel = 1; channel <= ChannelCount; ++channel) {
                out.sample(
                    "relayd_channel_energised_seconds_total",
                    board_label(board.address) + ",channel=\"" + QByteArray::number(channel) + '"',
                    seconds(runtime.totals(board.address, channel).energised_ms));
            }
        }
        if (const HistoryWriter* writer = sources.history->writer()) {
            out.family("relayd_history_write_failures_total", "counter",
                       "Batches the history's database did not take (a full disk, a read-only "
                       "state); their rows are tried again.");
            out.sample("relayd_history_write_failures_total", {},
                       QByteArray::number(writer->failed_writes()));
            out.family("relayd_history_pending_rows", "gauge",
                       "Rows handed to the history's writer and not yet committed.");
            out.sample("relayd_history_pending_rows", {},
                       QByteArray::number(static_cast<qulonglong>(writer->pending())));
        }
    }
    if (sources.mqtt_connected) {
        out.family("relayd_mqtt_connected", "gauge", "Whether relayd is connected to its broker.");
        out.sample("relayd_mqtt_connected", {}, *sources.mqtt_connected ? "1" : "0");
    }
    out.family("relayd_web_live_clients", "gauge", "Open live streams of the web page.");
    out.sample("relayd_web_live_clients", {}, QByteArray::number(sources.live_clients));
    return out.text();
}

}  // namespace relay
