#include "serial/serial_link.h"

#include <QPointer>

namespace relay {

FrameWriter frame_writer_for(SerialPort& port) {
    // The controller may outlive the port during teardown.
    return [guard = QPointer<SerialPort>(&port)](const Frame& frame) {
        if (guard) {
            guard->write_frame(frame);
        }
    };
}

}  // namespace relay
