#pragma once

#include "bridge/topics.h"
#include "controller/board_document.h"

#include <QByteArray>

namespace relay {

// Home Assistant's config of one channel's switch.
QByteArray discovery_payload(const Topics& topics, const BoardNames& names, std::uint8_t address,
                             int channel);

}  // namespace relay
