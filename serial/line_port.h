#pragma once

#include "serial/serial_port.h"

#include <QString>

#include <memory>

namespace relay {

// The line a command-line program names: a port number as in the panel
// (comN links in link_directory first), a device path, or tcp:HOST:PORT for a
// raw TCP connection such as ser2net gives. Not yet open: open_line(port_text).
std::unique_ptr<SerialPort> make_line_port(const QString& port_text, const QString& link_directory);

}  // namespace relay
