#include "cli/cli_board_view.h"

#include <utility>

namespace relay {

void CliBoardView::set_address(std::uint8_t address) {
    m_address = address;
    m_replied = false;
}

QString CliBoardView::address_text() const {
    return QString::number(m_address);
}

void CliBoardView::show_channel(int channel, ChannelLook look) {
    m_looks[static_cast<std::size_t>(channel - 1)] = look;
    // Only a reply shows a known state; the watchdog shows Unknown.
    if (look == ChannelLook::Energised || look == ChannelLook::Released) {
        m_replied = true;
    }
}

ChannelLook CliBoardView::channel_look(int channel) const {
    return m_looks[static_cast<std::size_t>(channel - 1)];
}

void CliBoardView::adopt_address(std::uint8_t address) {
    m_adopted = address;
}

bool CliBoardView::take_reply() {
    return std::exchange(m_replied, false);
}

std::optional<std::uint8_t> CliBoardView::take_adopted() {
    return std::exchange(m_adopted, std::nullopt);
}

}  // namespace relay
