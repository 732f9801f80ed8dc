#pragma once

#include <QLineEdit>
#include <QString>

namespace relay {

// A text box for a number typed by the operator. While its text is not
// usable it is tinted and its tooltip says why; otherwise the tooltip shows a
// note (for the port box: the device its number stands for).
class NumberBox : public QLineEdit {
    Q_OBJECT
public:
    explicit NumberBox(QWidget* parent = nullptr);

    // An empty problem clears the mark.
    void set_problem(const QString& problem);
    QString problem() const { return m_problem; }
    bool is_marked() const { return !m_problem.isEmpty(); }

    void set_note(const QString& note);

Q_SIGNALS:
    // The tooltip is about to show: a moment to bring the note up to date.
    void tooltip_due();

protected:
    bool event(QEvent* event) override;

private:
    void refresh_tooltip();

    QString m_problem;
    QString m_note;
};

}  // namespace relay
