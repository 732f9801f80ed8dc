#pragma once

#include <QProxyStyle>

namespace relay {

// Centres a push button's caption by its ink rather than by its line box.
// CJK faces with tall line boxes (Noto) otherwise draw the glyphs low enough
// to lose their bottom strokes under the frame of a 25-pixel button.
class InkCentredStyle : public QProxyStyle {
    Q_OBJECT
public:
    using QProxyStyle::QProxyStyle;

    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget = nullptr) const override;
};

}  // namespace relay
