#pragma once

#include "serial/port_resolver.h"

#include <QSerialPort>
#include <QString>

namespace relay {

// What the opening found out about the device, beyond Qt's error code.
struct OpenFailure {
    QSerialPort::SerialPortError error = QSerialPort::UnknownError;
    QString system_reason;    // the system's own words, shown as detail
    QString device_group;     // the group that owns the device file
    bool accessible = false;  // this user may read and write the device file
};

// The operator's message when a resolved device cannot be opened.
QString open_failure_text(const PortResolution& port, const OpenFailure& failure);

// The operator's message when the device of an open port has gone away.
QString device_lost_text(const PortResolution& port);

// Group and access of the device file, for open_failure_text.
OpenFailure inspect_device(const QString& device, QSerialPort::SerialPortError error,
                           const QString& system_reason);

}  // namespace relay
