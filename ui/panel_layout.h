#pragma once

#include "ui/song_font.h"

#include <QRect>
#include <QString>

namespace relay {

// The panel's two type sizes: typed and shown text, and captions.
constexpr qreal TextPoints = 15;
constexpr qreal CaptionPoints = 15.75;

// Names and places one of the panel's controls; a size of 0 keeps its font.
template <typename Widget>
Widget* place(Widget* widget, const char* name, const QRect& geometry, qreal points) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(geometry);
    if (points > 0) {
        widget->setFont(song_font(points));
    }
    return widget;
}

}  // namespace relay
