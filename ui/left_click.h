#pragma once

#include <QMouseEvent>
#include <QWidget>

namespace relay {

// The indicators and the name labels react to a whole left click: press and
// release on the same control, as a button does.

// Taking the press makes the release come to the same control.
inline void take_left_press(QMouseEvent* event) {
    event->setAccepted(event->button() == Qt::LeftButton);
}

// True for the release that completes a left click on the widget; any other
// release is passed on.
inline bool completes_left_click(const QWidget& widget, QMouseEvent* event) {
    const bool click =
        event->button() == Qt::LeftButton && widget.rect().contains(event->position().toPoint());
    event->setAccepted(click);
    return click;
}

}  // namespace relay
