#pragma once

#include "controller/board_document.h"
#include "mqtt/topics.h"

#include <QByteArray>

namespace relay {

// Home Assistant's config of one channel's switch.
QByteArray discovery_payload(const Topics& topics, const BoardNames& names, std::uint8_t address,
                             int channel);
// The button that pulses a channel with a configured length.
QByteArray button_payload(const Topics& topics, const BoardNames& names, std::uint8_t address,
                          int channel);
// --ha-runtime: a diagnostic sensor of a channel's energised time (seconds)
// or of its switch count, both for Home Assistant's long-term statistics.
QByteArray runtime_payload(const Topics& topics, const BoardNames& names, std::uint8_t address,
                           int channel, bool energised);
// The bridge as a device of its own, with its connection as a binary sensor;
// the boards name it as their via_device.
QByteArray bridge_payload(const Topics& topics);

}  // namespace relay
