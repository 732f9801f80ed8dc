#include "controller/board_controller.h"

#include "protocol/number_text.h"

#include <utility>

namespace relay {

BoardController::BoardController(BoardView& view, FrameWriter writer)
    : m_view(view), m_writer(std::move(writer)) {}

void BoardController::toggle_channel(int channel) {
    if (channel < 1 || channel > ChannelCount) {
        return;
    }
    const auto data2 = static_cast<std::uint8_t>(channel);
    switch (m_view.channel_look(channel)) {
        case ChannelLook::Energised:
            queue_command(cmd::Release, 0x00, data2);
            break;
        case ChannelLook::Released:
            queue_command(cmd::Energise, 0x00, data2);
            break;
        case ChannelLook::Unknown:
        case ChannelLook::PortClosed:
            break;
    }
}

void BoardController::energise_all() {
    queue_command(cmd::SwitchAll, AllOn, AllOn);
}

void BoardController::release_all() {
    queue_command(cmd::SwitchAll, AllOff, AllOff);
}

void BoardController::read_address() {
    queue_address_command(cmd::ReadAddress, 0x00);
}

void BoardController::write_address() {
    if (const auto address = current_address()) {
        queue_address_command(cmd::WriteAddress, *address);
    }
}

void BoardController::tick() {
    if (m_reply_countdown <= 0) {
        show_all(ChannelLook::Unknown);
    } else {
        --m_reply_countdown;
    }
    poll_board();
}

void BoardController::receive(const Frame& group) {
    if (!check_reply(group)) {
        return;
    }
    apply_reply(group);
    m_reply_countdown = WatchdogTicks;
}

void BoardController::queue_command(std::uint8_t command, std::uint8_t data1, std::uint8_t data2) {
    // The address is captured now: a later edit of the box does not redirect it.
    if (const auto address = current_address()) {
        m_pending_command = Command{*address, command, data1, data2};
    }
}

void BoardController::queue_address_command(std::uint8_t command, std::uint8_t data2) {
    m_pending_command = Command{ServiceAddress, command, 0x00, data2};
}

void BoardController::poll_board() {
    if (m_pending_command) {
        const Command command = *m_pending_command;
        m_pending_command.reset();
        send_frame(m_writer, command.address, command.command, command.data1, command.data2);
        return;
    }
    if (const auto address = current_address()) {
        send_frame(m_writer, *address, cmd::Status, 0x00, 0x00);
    }
}

void BoardController::apply_reply(const Frame& reply) {
    const auto address = current_address();
    if (address && reply[ReplyAddress] == *address) {
        for (int n = 0; n < 8; ++n) {
            m_view.show_channel(n + 9, get_bit(reply[ReplyHighBitmap], n) ? ChannelLook::Energised
                                                                          : ChannelLook::Released);
            m_view.show_channel(n + 1, get_bit(reply[ReplyLowBitmap], n) ? ChannelLook::Energised
                                                                         : ChannelLook::Released);
        }
    }
    // An address reply is adopted even while the box holds no usable address:
    // learning the address is what the operator asked for.
    if (reply[ReplyCommand] == cmd::ReadAddress) {
        m_view.adopt_address(reply[ReplyAddress]);
    }
}

std::optional<std::uint8_t> BoardController::current_address() {
    const QString text = m_view.address_text();
    const auto address = address_from_text(text);
    if (!address) {
        m_view.report_unusable_address(text);
    }
    return address;
}

void BoardController::show_all(ChannelLook look) {
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        m_view.show_channel(channel, look);
    }
}

}  // namespace relay
