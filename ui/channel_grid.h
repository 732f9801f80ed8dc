#pragma once

#include "controller/board_view.h"
#include "protocol/frame.h"

#include <QObject>
#include <QStringList>

#include <array>

class QPushButton;
class QWidget;

namespace relay {

class ChannelIndicator;
class ChannelNameLabel;

// The panel's channels: sixteen indicators with their names beside them,
// 1..8 down the left column and 9..16 up the right one, and the all on and
// all off buttons below. The controls are the window's own children, so they
// keep their places and their turns in its tab order.
class ChannelGrid : public QObject {
    Q_OBJECT
public:
    explicit ChannelGrid(QWidget* window);

    // channel is 1..16; others are ignored, and look as Unknown.
    void show_channel(int channel, ChannelLook look);
    ChannelLook channel_look(int channel) const;
    // The names of channels 1..16 in turn; a missing one shows empty.
    void show_names(const QStringList& names);

    // Every channel unknown and the all buttons usable, or every channel
    // greyed and the all buttons locked.
    void show_port_opened();
    void show_port_closed();

Q_SIGNALS:
    void channel_clicked(int channel);
    void name_clicked(int channel);
    void all_on_clicked();
    void all_off_clicked();

private:
    std::array<ChannelIndicator*, ChannelCount> m_Picture1{};
    std::array<ChannelNameLabel*, ChannelCount> m_Label4{};
    QPushButton* m_openall = nullptr;
    QPushButton* m_closeall = nullptr;
};

}  // namespace relay
