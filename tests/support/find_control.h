#pragma once

#include <QString>
#include <QWidget>

namespace relay::testing {

// The control of that object name under root; a test without it cannot go on.
template <typename T = QWidget>
T* find_control(const QWidget& root, const QString& name) {
    T* widget = root.findChild<T*>(name);
    if (widget == nullptr) {
        qFatal("no control %s", qPrintable(name));
    }
    return widget;
}

}  // namespace relay::testing
