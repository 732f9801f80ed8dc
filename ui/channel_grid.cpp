#include "ui/channel_grid.h"

#include "ui/channel_indicator.h"
#include "ui/channel_name_label.h"
#include "ui/panel_layout.h"
#include "ui/twips.h"

#include <QPushButton>

namespace relay {

namespace {

// Channels 1..8 run down the left column, 9..16 up the right one.
int channel_row(int channel) {
    return channel <= 8 ? channel - 1 : ChannelCount - channel;
}

}  // namespace

ChannelGrid::ChannelGrid(QWidget* window) : QObject(window) {
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        const int row_top = 720 * channel_row(channel);
        const bool left = channel <= 8;
        auto* indicator = new ChannelIndicator(channel, window);
        indicator->setGeometry(twips_rect(left ? 1440 : 3840, 1560 + row_top, 1335, 615));
        m_Picture1[static_cast<std::size_t>(channel - 1)] = indicator;
        connect(indicator, &ChannelIndicator::clicked, this, &ChannelGrid::channel_clicked);

        auto* name = new ChannelNameLabel(channel, window);
        name->setGeometry(twips_rect(left ? 120 : 5280, 1680 + row_top, 1335, 615));
        name->setFont(song_font(TextPoints));
        m_Label4[static_cast<std::size_t>(channel - 1)] = name;
        connect(name, &ChannelNameLabel::clicked, this, &ChannelGrid::name_clicked);
    }

    m_openall = place(new QPushButton(QStringLiteral("吸合所有"), window), "openall",
                      twips_rect(1680, 7440, 1455, 375), CaptionPoints);
    m_closeall = place(new QPushButton(QStringLiteral("断开所有"), window), "closeall",
                       twips_rect(3600, 7440, 1455, 375), CaptionPoints);
    connect(m_openall, &QPushButton::clicked, this, &ChannelGrid::all_on_clicked);
    connect(m_closeall, &QPushButton::clicked, this, &ChannelGrid::all_off_clicked);
}

void ChannelGrid::show_channel(int channel, ChannelLook look) {
    if (channel >= 1 && channel <= ChannelCount) {
        m_Picture1[static_cast<std::size_t>(channel - 1)]->show_look(look);
    }
}

ChannelLook ChannelGrid::channel_look(int channel) const {
    if (channel < 1 || channel > ChannelCount) {
        return ChannelLook::Unknown;
    }
    return m_Picture1[static_cast<std::size_t>(channel - 1)]->look();
}

void ChannelGrid::show_names(const QStringList& names) {
    for (int i = 0; i < ChannelCount; ++i) {
        m_Label4[static_cast<std::size_t>(i)]->setText(names.value(i));
    }
}

void ChannelGrid::show_port_opened() {
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        show_channel(channel, ChannelLook::Unknown);
    }
    m_openall->setEnabled(true);
    m_closeall->setEnabled(true);
}

void ChannelGrid::show_port_closed() {
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        show_channel(channel, ChannelLook::PortClosed);
    }
    m_openall->setEnabled(false);
    m_closeall->setEnabled(false);
}

}  // namespace relay
