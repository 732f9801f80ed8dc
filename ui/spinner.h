#pragma once

#include <QScrollBar>

namespace relay {

// A vertical scroll bar used as a spinner over 0..255: the largest value sits
// at the top, so the up arrow (and the Up key) raises the value by one and the
// down arrow lowers it. Setting the value it already holds notifies nobody.
class Spinner : public QScrollBar {
    Q_OBJECT
public:
    static constexpr int Lowest = 0;
    static constexpr int Highest = 255;

    explicit Spinner(QWidget* parent = nullptr);

private:
    void turn_step(int action);
};

}  // namespace relay
