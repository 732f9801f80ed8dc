#include "tools/virtual_board.h"

namespace relay {

namespace {
constexpr std::size_t Address = 1;
constexpr std::size_t Command = 2;
constexpr std::size_t Data1 = 5;
constexpr std::size_t Data2 = 6;
}  // namespace

VirtualBoard::VirtualBoard(std::uint8_t address, std::uint16_t channels)
    : m_address(address), m_channels(channels) {}

std::optional<Frame> VirtualBoard::answer(const Frame& command) {
    if (command[0] != CommandHeader || command[7] != frame_checksum(command)) {
        return std::nullopt;
    }
    const std::uint8_t code = command[Command];
    const bool service = code == cmd::ReadAddress || code == cmd::WriteAddress;
    // The address-service commands reach whatever board is on the line.
    if (command[Address] != m_address && !(service && command[Address] == ServiceAddress)) {
        return std::nullopt;
    }
    const std::uint8_t data1 = command[Data1];
    const std::uint8_t data2 = command[Data2];
    const bool channel_ok = data2 >= 1 && data2 <= ChannelCount;
    const auto bit = static_cast<std::uint16_t>(channel_ok ? 1u << (data2 - 1) : 0u);
    const std::uint16_t before = m_channels;
    switch (code) {
        case cmd::Status:
        case cmd::ReadAddress:
            break;
        case cmd::Release:
            m_channels = static_cast<std::uint16_t>(m_channels & ~bit);
            break;
        case cmd::Energise:
            m_channels = static_cast<std::uint16_t>(m_channels | bit);
            break;
        case cmd::SwitchAll:
            // Mixed data bytes are not a command the panel sends; the board
            // keeps its channels and still reports them.
            if (data1 == AllOn && data2 == AllOn) {
                m_channels = 0xFFFF;
            } else if (data1 == AllOff && data2 == AllOff) {
                m_channels = 0x0000;
            }
            break;
        case cmd::WriteAddress:
            if (!m_keep_address) {
                m_address = data2;
            }
            break;
        default:
            return std::nullopt;
    }
    m_channels = static_cast<std::uint16_t>((m_channels & ~m_stuck) | (before & m_stuck));
    return reply(code);
}

void VirtualBoard::toggle_channel(int channel) {
    if (channel >= 1 && channel <= ChannelCount) {
        m_channels = static_cast<std::uint16_t>(m_channels ^ (1u << (channel - 1)));
    }
}

Frame VirtualBoard::reply(std::uint8_t command) const {
    return build_reply(m_address, command, m_channels);
}

}  // namespace relay
