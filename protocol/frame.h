#pragma once

#include <array>
#include <cstdint>
#include <functional>

namespace relay {

// One command or reply frame: always exactly 8 bytes on the line.
using Frame = std::array<std::uint8_t, 8>;

// Receives every command frame that is sent: the serial link in the program,
// a recorder in tests.
using FrameWriter = std::function<void(const Frame&)>;

namespace cmd {
constexpr std::uint8_t Status = 0x10;
constexpr std::uint8_t Release = 0x11;    // data2 = channel
constexpr std::uint8_t Energise = 0x12;   // data2 = channel
constexpr std::uint8_t SwitchAll = 0x13;  // data1 = data2 = 0xFF (all on) or 0x00 (all off)
constexpr std::uint8_t ReadAddress = 0x40;
constexpr std::uint8_t WriteAddress = 0x41;  // data2 = new address
}  // namespace cmd

constexpr std::uint8_t CommandHeader = 0x55;
constexpr std::uint8_t ReplyHeader = 0x22;
// The address-service commands go to this byte, whatever board is selected.
constexpr std::uint8_t ServiceAddress = 0xF5;
constexpr std::uint8_t AllOn = 0xFF;
constexpr std::uint8_t AllOff = 0x00;

// Reply field offsets.
constexpr std::size_t ReplyAddress = 1;
constexpr std::size_t ReplyCommand = 2;
constexpr std::size_t ReplyHighBitmap = 5;  // channels 9..16
constexpr std::size_t ReplyLowBitmap = 6;   // channels 1..8

constexpr int ChannelCount = 16;

// Sum of bytes 0..6, modulo 256.
std::uint8_t frame_checksum(const Frame& frame);

Frame build_frame(std::uint8_t address, std::uint8_t command, std::uint8_t data1,
                  std::uint8_t data2);

// A board's reply: channels 9..16 in byte 5, 1..8 in byte 6.
Frame build_reply(std::uint8_t address, std::uint8_t command, std::uint16_t channels);

// Builds the frame and hands it to the writer in one piece.
void send_frame(const FrameWriter& writer, std::uint8_t address, std::uint8_t command,
                std::uint8_t data1, std::uint8_t data2);

// True when the checksum is right and the header is that of a reply.
bool check_reply(const Frame& bytes);

// Bit n (0..7) of value, as 0 or 1.
int get_bit(std::uint8_t value, int n);

}  // namespace relay
