#pragma once

#include "controller/board_view.h"
#include "protocol/frame.h"

#include <QStringList>

#include <array>
#include <vector>

namespace relay::testing {

// A window stand-in: keeps the looks it is told to show and records the rest.
class RecordingView : public BoardView {
public:
    RecordingView() { m_looks.fill(ChannelLook::Unknown); }

    QString address_text() const override { return m_address_text; }
    void show_channel(int channel, ChannelLook look) override {
        m_looks[static_cast<std::size_t>(channel - 1)] = look;
        ++m_paints;
    }
    ChannelLook channel_look(int channel) const override {
        return m_looks[static_cast<std::size_t>(channel - 1)];
    }
    void adopt_address(std::uint8_t address) override {
        m_adopted.push_back(address);
        m_address_text = QString::number(address);
    }
    void report_unusable_address(const QString& text) override { m_unusable.append(text); }

    ChannelLook look(int channel) const { return channel_look(channel); }
    void set_all(ChannelLook look) { m_looks.fill(look); }

    QString m_address_text = QStringLiteral("1");
    std::array<ChannelLook, ChannelCount> m_looks{};
    std::vector<std::uint8_t> m_adopted;
    QStringList m_unusable;
    int m_paints = 0;
};

}  // namespace relay::testing
