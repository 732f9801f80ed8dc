#pragma once

#include "mqtt/mqtt_client.h"

#include <QString>

namespace relay {

// relayd on the broker: how to reach it and where its topics live.
struct MqttOptions {
    MqttSettings broker;
    QString base_topic = QStringLiteral("relay");
    QString discovery_prefix = QStringLiteral("homeassistant");
    bool fail_fast = false;   // exit when the broker cannot be reached or refuses
    bool ha_runtime = false;  // Home Assistant sensors of each channel's runtime counters
};

}  // namespace relay
