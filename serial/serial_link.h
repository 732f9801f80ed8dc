#pragma once

#include "protocol/frame.h"
#include "serial/serial_port.h"

namespace relay {

// The frame writer the controller's send_frame uses: every frame goes through
// the port's write rule (nothing while closed, purge, then write).
FrameWriter frame_writer_for(SerialPort& port);

}  // namespace relay
