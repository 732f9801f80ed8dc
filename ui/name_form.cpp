#include "ui/name_form.h"

#include "names/name_file.h"
#include "protocol/frame.h"
#include "protocol/number_text.h"
#include "ui/song_font.h"
#include "ui/twips.h"

#include <QLineEdit>
#include <QPushButton>

#include <limits>

namespace relay {

NameForm::NameForm(NameFile& names, QWidget* parent) : QWidget(parent, Qt::Window), m_names(names) {
    setObjectName(QStringLiteral("name_form"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("更改名称"));
    resize(twips_rect(0, 0, 4740, 1890).size());

    m_mingcheng = new QLineEdit(QStringLiteral("Text1"), this);
    m_mingcheng->setObjectName(QStringLiteral("mingcheng"));
    m_mingcheng->setGeometry(twips_rect(960, 360, 3135, 615));
    m_mingcheng->setFont(song_font(24));
    // A bottom margin lifts the text so that its ink, not its line box, is centred.
    m_mingcheng->setTextMargins(0, 0, 0, 2 * ink_drop(m_mingcheng->font()));

    m_Command_ok = new QPushButton(QStringLiteral("确 定"), this);
    m_Command_ok->setObjectName(QStringLiteral("Command_ok"));
    m_Command_ok->setGeometry(twips_rect(1200, 1320, 975, 375));

    m_Command_cansel = new QPushButton(QStringLiteral("取 消"), this);
    m_Command_cansel->setObjectName(QStringLiteral("Command_cansel"));
    m_Command_cansel->setGeometry(twips_rect(2640, 1320, 975, 375));

    // Neither button answers Enter; a plain window has no Esc binding either.
    for (QPushButton* button : {m_Command_ok, m_Command_cansel}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    setTabOrder(m_mingcheng, m_Command_ok);
    setTabOrder(m_Command_ok, m_Command_cansel);
    m_mingcheng->setFocus();

    connect(m_Command_ok, &QPushButton::clicked, this, &NameForm::Command_ok_Click);
    connect(m_Command_cansel, &QPushButton::clicked, this, &QWidget::close);
}

void NameForm::set_target(const QString& address_text, const QString& channel_text) {
    m_add = address_text;
    m_xianlu = channel_text;
}

void NameForm::load() {
    // Text that is no whole number counts as out of range: the box keeps its
    // initial text.
    const auto address = whole_number_from_text(m_add, std::numeric_limits<std::int32_t>::min(),
                                                std::numeric_limits<std::int32_t>::max());
    const auto channel = whole_number_from_text(m_xianlu, 1, ChannelCount);
    if (!address || *address > 255 || !channel) {
        return;
    }
    m_mingcheng->setText(m_names.load_channel_name(m_add, m_xianlu));
}

void NameForm::Command_ok_Click() {
    if (!m_names.save_channel_name(m_add, m_xianlu, m_mingcheng->text())) {
        // Not stored, and the operator has been told why: the typed name stays
        // here to try again rather than vanish with the dialog.
        return;
    }
    Q_EMIT name_saved();
    close();
}

}  // namespace relay
