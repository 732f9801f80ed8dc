#pragma once

#include "protocol/frame.h"

#include <QByteArray>

#include <cstdint>
#include <vector>

namespace relay {

// A board's receiver: command frames out of a byte stream in any pieces.
// Bytes before a 0x55 header are skipped, and a partial frame is forgotten
// after GapMs of quiet, so that one stray byte spoils one frame at most.
class CommandReader {
public:
    static constexpr std::int64_t GapMs = 50;

    struct Piece {
        enum class Kind { Frame, Skipped, Forgotten };
        Kind kind = Kind::Frame;
        QByteArray bytes;
        Frame frame{};  // Kind::Frame; its checksum is not checked here
    };

    // now_ms: a monotonic clock, for the gap between bytes.
    std::vector<Piece> take(const QByteArray& bytes, std::int64_t now_ms);

private:
    QByteArray m_pending;
    std::int64_t m_last_byte_ms = 0;
};

}  // namespace relay
