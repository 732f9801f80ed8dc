#include "ui/number_box.h"

#include <QEvent>
#include <QPalette>

namespace relay {

namespace {

const QColor MarkColour(255, 190, 190);

}  // namespace

NumberBox::NumberBox(QWidget* parent) : QLineEdit(parent) {}

void NumberBox::set_problem(const QString& problem) {
    if (problem == m_problem) {
        return;
    }
    const bool was_marked = is_marked();
    m_problem = problem;
    if (is_marked() != was_marked) {
        QPalette tint = palette();
        tint.setColor(QPalette::Base, is_marked() ? MarkColour : QPalette().color(QPalette::Base));
        setPalette(tint);
    }
    refresh_tooltip();
}

void NumberBox::set_note(const QString& note) {
    m_note = note;
    refresh_tooltip();
}

bool NumberBox::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        Q_EMIT tooltip_due();
    }
    return QLineEdit::event(event);
}

void NumberBox::refresh_tooltip() {
    setToolTip(is_marked() ? m_problem : m_note);
}

}  // namespace relay
