#pragma once

#include "controller/board_view.h"

#include <QFrame>

class QLabel;

namespace relay {

// One channel's coloured box (Picture1) with its status label (Label2) inside.
// The look it shows is the panel's only record of the channel's state.
class ChannelIndicator : public QFrame {
    Q_OBJECT
public:
    ChannelIndicator(int channel, QWidget* parent);

    int channel() const { return m_channel; }
    ChannelLook look() const { return m_look; }
    void show_look(ChannelLook look);
    QLabel* status_label() const { return m_status; }

Q_SIGNALS:
    // A click on the box or on its status label, which passes its clicks on.
    void clicked(int channel);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    int m_channel = 0;
    ChannelLook m_look = ChannelLook::Unknown;
    bool m_painted = false;
    QLabel* m_status = nullptr;
};

}  // namespace relay
