#include "serial/line_port.h"

#include "serial/qt_serial_port.h"
#include "serial/tcp_serial_port.h"

namespace relay {

std::unique_ptr<SerialPort> make_line_port(const QString& port_text,
                                           const QString& link_directory) {
    if (port_text.startsWith(QLatin1String("tcp:"))) {
        return std::make_unique<TcpSerialPort>();
    }
    auto port = std::make_unique<QtSerialPort>();
    port->set_link_directory(link_directory);
    return port;
}

}  // namespace relay
