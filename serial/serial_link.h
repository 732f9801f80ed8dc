#pragma once

#include "controller/board_controller.h"
#include "protocol/frame.h"
#include "serial/serial_port.h"

#include <QMetaObject>

namespace relay {

// The frame writer the controller's send_frame uses: every frame goes through
// the port's write rule (nothing while closed, purge, then write).
FrameWriter frame_writer_for(SerialPort& port);

// Hands every group the port delivers to the controller's receive step. The
// connection ends with the port.
QMetaObject::Connection deliver_groups(SerialPort& port, BoardController& controller);

}  // namespace relay
