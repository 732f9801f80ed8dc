#pragma once

#include "protocol/frame.h"

#include <QByteArray>
#include <QString>

namespace relay::testing {

// "55 01 10 00 00 00 00 66" -> frame
inline Frame frame_from_hex(const char* hex) {
    const QByteArray bytes = QByteArray::fromHex(QByteArray(hex).replace(' ', ""));
    Frame frame{};
    for (int i = 0; i < 8 && i < bytes.size(); ++i) {
        frame[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(bytes[i]);
    }
    return frame;
}

inline QString frame_to_hex(const Frame& frame) {
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(frame.data()), 8).toHex(' ').toUpper());
}

}  // namespace relay::testing
