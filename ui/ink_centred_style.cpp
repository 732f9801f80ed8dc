#include "ui/ink_centred_style.h"

#include <QFontMetrics>
#include <QStyleOptionButton>

namespace relay {

void InkCentredStyle::drawControl(ControlElement element, const QStyleOption* option,
                                  QPainter* painter, const QWidget* widget) const {
    const auto* button = qstyleoption_cast<const QStyleOptionButton*>(option);
    if (element != CE_PushButtonLabel || button == nullptr || button->text.isEmpty() ||
        !button->icon.isNull()) {
        QProxyStyle::drawControl(element, option, painter, widget);
        return;
    }
    const QFontMetrics metrics = button->fontMetrics;
    const QRect ink = metrics.tightBoundingRect(button->text);
    // Where centring the line box puts the ink, and where the ink belongs.
    const int line_top = button->rect.top() + (button->rect.height() - metrics.height()) / 2;
    const int ink_top = line_top + metrics.ascent() + ink.top();
    const int wanted_top = button->rect.top() + (button->rect.height() - ink.height()) / 2;
    QStyleOptionButton moved = *button;
    moved.rect.translate(0, wanted_top - ink_top);
    QProxyStyle::drawControl(element, &moved, painter, widget);
}

}  // namespace relay
