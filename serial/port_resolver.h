#pragma once

#include <QString>

#include <cstdint>
#include <vector>

namespace relay {

// One serial port as the system lists it.
struct ListedPort {
    QString port_name;        // "ttyUSB0", "COM3"
    QString system_location;  // "/dev/ttyUSB0", "\\\\.\\COM3"
    QString description;
    QString manufacturer;
};

enum class PortNaming { Windows, Unix };

// What a port number text means on this machine.
struct PortResolution {
    enum class Outcome { Device, BadNumber, NoDevice };

    Outcome outcome = Outcome::NoDevice;
    std::int16_t number = 0;
    QString device;       // what the port is opened with: a path, or "COMn"
    QString link;         // the comN link in the program's directory, if one was used
    QString description;  // one line for the operator: number, device, where it comes from
    QString failure;      // why there is no device, in the operator's language

    bool ok() const { return outcome == Outcome::Device; }
};

// USB adapters first, then the others; each group in natural order.
std::vector<ListedPort> order_ports(std::vector<ListedPort> ports);

// "ttyUSB2" before "ttyUSB10": digit runs compare as numbers.
bool natural_less(const QString& a, const QString& b);

// The device a port number text means. Pure apart from looking for the comN
// link in link_directory, so tests can hand in their own list and directory.
PortResolution resolve_port_number(const QString& text, const std::vector<ListedPort>& listed,
                                   const QString& link_directory, PortNaming naming);

// The same, on this machine: the ports QSerialPortInfo lists and the links in
// link_directory (the program's own directory when empty).
PortResolution resolve_port_number(const QString& text, const QString& link_directory = {});

std::vector<ListedPort> listed_ports();
PortNaming native_port_naming();

}  // namespace relay
