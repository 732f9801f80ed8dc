#pragma once

#include <QString>

#include <cstdint>

namespace relay {

// What one channel's indicator shows. PortClosed counts as Unknown for every
// decision; only the window sets it.
enum class ChannelLook { Energised, Released, Unknown, PortClosed };

// What the controller needs of the window. The window is the only record of
// the channel states: a toggle acts on the look that is shown.
class BoardView {
public:
    virtual ~BoardView() = default;

    // The text of the address box, read afresh whenever an address is needed.
    virtual QString address_text() const = 0;
    // channel is 1..16.
    virtual void show_channel(int channel, ChannelLook look) = 0;
    virtual ChannelLook channel_look(int channel) const = 0;
    // Spinner, address box and channel names follow the board that answered.
    virtual void adopt_address(std::uint8_t address) = 0;
    // The address text selects no board; a step that needed it did nothing.
    virtual void report_unusable_address(const QString& text) = 0;
};

}  // namespace relay
