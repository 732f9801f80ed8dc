#include "ui/channel_indicator.h"

#include "ui/left_click.h"

#include "ui/song_font.h"
#include "ui/twips.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPalette>

namespace relay {

namespace {

QString status_text(ChannelLook look) {
    switch (look) {
        case ChannelLook::Energised:
            return QStringLiteral("  吸合");
        case ChannelLook::Released:
            return QStringLiteral("  断开");
        case ChannelLook::Unknown:
        case ChannelLook::PortClosed:
            break;
    }
    return QStringLiteral("状态未知");
}

}  // namespace

ChannelIndicator::ChannelIndicator(int channel, QWidget* parent)
    : QFrame(parent), m_channel(channel) {
    setObjectName(QStringLiteral("Picture1(%1)").arg(channel));
    setProperty("index", channel);
    setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
    setAutoFillBackground(true);
    setFocusPolicy(Qt::TabFocus);

    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("Label2(%1)").arg(channel));
    m_status->setProperty("index", channel);
    m_status->setFont(song_font(15));
    // Centred: a CJK face's line box is taller than the label.
    m_status->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    // Positioned inside the border, as the box's own contents.
    m_status->setGeometry(twips_rect(0, 120, 1215, 375).translated(frameWidth(), frameWidth()));
    show_look(ChannelLook::Unknown);
}

void ChannelIndicator::show_look(ChannelLook look) {
    // The watchdog repeats Unknown on every tick; repaint only what changes.
    if (m_painted && look == m_look) {
        return;
    }
    m_painted = true;
    m_look = look;
    QPalette box = palette();
    switch (look) {
        case ChannelLook::Energised:
            box.setColor(QPalette::Window, QColor(0, 255, 0));
            break;
        case ChannelLook::Released:
            box.setColor(QPalette::Window, QColor(255, 0, 0));
            break;
        case ChannelLook::Unknown:
            box.setColor(QPalette::Window, QColor(255, 255, 0));
            break;
        case ChannelLook::PortClosed:
            box.setColor(QPalette::Window,
                         QPalette().color(QPalette::Disabled, QPalette::WindowText));
            break;
    }
    setPalette(box);
    m_status->setText(status_text(look));
}

void ChannelIndicator::mousePressEvent(QMouseEvent* event) {
    take_left_press(event);
}

void ChannelIndicator::mouseReleaseEvent(QMouseEvent* event) {
    if (completes_left_click(*this, event)) {
        Q_EMIT clicked(m_channel);
    }
}

}  // namespace relay
