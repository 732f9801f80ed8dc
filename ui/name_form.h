#pragma once

#include <QString>
#include <QWidget>

class QLineEdit;
class QPushButton;

namespace relay {

class NameFile;

// The rename dialog for one channel of one address. Modeless; closing it
// destroys it.
class NameForm : public QWidget {
    Q_OBJECT
public:
    NameForm(NameFile& names, QWidget* parent);

    // Where OK saves. The text box keeps what it shows.
    void set_target(const QString& address_text, const QString& channel_text);
    QString address_text() const { return m_add; }
    QString channel_text() const { return m_xianlu; }

    // Shows the stored name when the address and channel can hold one.
    void load();

Q_SIGNALS:
    // A name was stored; the main window reloads its labels.
    void name_saved();

private:
    void Command_ok_Click();

    NameFile& m_names;
    QString m_add;
    QString m_xianlu;
    QLineEdit* m_mingcheng = nullptr;
    QPushButton* m_Command_ok = nullptr;
    QPushButton* m_Command_cansel = nullptr;
};

}  // namespace relay
