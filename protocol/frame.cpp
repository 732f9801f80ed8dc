#include "protocol/frame.h"

namespace relay {

std::uint8_t frame_checksum(const Frame& frame) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < 7; ++i) {
        sum += frame[i];
    }
    return static_cast<std::uint8_t>(sum & 0xFF);
}

Frame build_frame(std::uint8_t address, std::uint8_t command, std::uint8_t data1,
                  std::uint8_t data2) {
    Frame frame{CommandHeader, address, command, 0x00, 0x00, data1, data2, 0x00};
    frame[7] = frame_checksum(frame);
    return frame;
}

Frame build_reply(std::uint8_t address, std::uint8_t command, std::uint16_t channels) {
    Frame frame{ReplyHeader,
                address,
                command,
                0x00,
                0x00,
                static_cast<std::uint8_t>(channels >> 8),
                static_cast<std::uint8_t>(channels & 0xFF),
                0x00};
    frame[7] = frame_checksum(frame);
    return frame;
}

void send_frame(const FrameWriter& writer, std::uint8_t address, std::uint8_t command,
                std::uint8_t data1, std::uint8_t data2) {
    const Frame frame = build_frame(address, command, data1, data2);
    if (writer) {
        writer(frame);
    }
}

bool check_reply(const Frame& bytes) {
    return bytes[7] == frame_checksum(bytes) && bytes[0] == ReplyHeader;
}

int get_bit(std::uint8_t value, int n) {
    return (value >> n) & 1;
}

}  // namespace relay
