#pragma once

#include "controller/board_view.h"
#include "protocol/frame.h"

#include <array>
#include <optional>

namespace relay {

using ChannelLooks = std::array<ChannelLook, ChannelCount>;

inline ChannelLooks unknown_looks() {
    ChannelLooks looks;
    looks.fill(ChannelLook::Unknown);
    return looks;
}

// The controller's view of the board for a program without a window: the
// address is set by the program, and applied replies are noted.
class CliBoardView : public BoardView {
public:
    void set_address(std::uint8_t address);
    std::uint8_t address() const { return m_address; }

    QString address_text() const override;
    void show_channel(int channel, ChannelLook look) override;
    ChannelLook channel_look(int channel) const override;
    void adopt_address(std::uint8_t address) override;
    void report_unusable_address(const QString&) override {}

    const ChannelLooks& looks() const { return m_looks; }
    // True once after a reply for the address has been shown.
    bool take_reply();
    // The address a board reported to a read-address command, once.
    std::optional<std::uint8_t> take_adopted();

private:
    std::uint8_t m_address = 1;
    ChannelLooks m_looks = unknown_looks();
    bool m_replied = false;
    std::optional<std::uint8_t> m_adopted;
};

}  // namespace relay
