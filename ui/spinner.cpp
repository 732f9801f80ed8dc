#include "ui/spinner.h"

namespace relay {

Spinner::Spinner(QWidget* parent) : QScrollBar(Qt::Vertical, parent) {
    setRange(Lowest, Highest);
    setSingleStep(1);
    setPageStep(1);
    setValue(1);
    // Draws the handle near the top for large values and makes the Up key a
    // step towards the top. The arrows keep their usual actions, which
    // turn_step reverses.
    setInvertedAppearance(true);
    setInvertedControls(true);
    setFocusPolicy(Qt::TabFocus);
    connect(this, &QAbstractSlider::actionTriggered, this, &Spinner::turn_step);
}

void Spinner::turn_step(int action) {
    // Runs after the slider position has moved for the action and before the
    // value follows it, so the position can still be turned the other way.
    switch (action) {
        case SliderSingleStepAdd:
            setSliderPosition(value() - singleStep());
            break;
        case SliderSingleStepSub:
            setSliderPosition(value() + singleStep());
            break;
        case SliderPageStepAdd:
            setSliderPosition(value() - pageStep());
            break;
        case SliderPageStepSub:
            setSliderPosition(value() + pageStep());
            break;
        default:
            break;
    }
}

}  // namespace relay
