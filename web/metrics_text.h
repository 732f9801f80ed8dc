#pragma once

#include "history/history_recorder.h"
#include "relayd/relay_bridge.h"

#include <QByteArray>

#include <optional>

namespace relay {

// What a scrape of /metrics reads, none of it from the bus.
struct MetricsSources {
    const RelayBridge& bridge;
    const HistoryRecorder* history = nullptr;  // the channels' counters
    std::optional<bool> mqtt_connected;        // nothing when MQTT is off
    int live_clients = 0;
};

// The Prometheus text format (version 0.0.4) of relayd's counters.
QByteArray metrics_text(const MetricsSources& sources);

}  // namespace relay
