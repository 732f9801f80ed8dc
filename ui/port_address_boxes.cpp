#include "ui/port_address_boxes.h"

#include "protocol/number_text.h"
#include "serial/port_resolver.h"
#include "ui/number_box.h"
#include "ui/panel_layout.h"
#include "ui/spinner.h"
#include "ui/twips.h"

#include <QLabel>
#include <QPushButton>

#include <initializer_list>
#include <optional>

namespace relay {

namespace {

// The value a spinner can carry for the text, if any.
std::optional<int> spinner_value(const QString& text) {
    const auto number = whole_number_from_text(text, Spinner::Lowest, Spinner::Highest);
    if (!number) {
        return std::nullopt;
    }
    return static_cast<int>(*number);
}

void make_text_black(QWidget* widget) {
    QPalette black = widget->palette();
    black.setColor(QPalette::WindowText, Qt::black);
    black.setColor(QPalette::Text, Qt::black);
    widget->setPalette(black);
}

}  // namespace

PortAddressBoxes::PortAddressBoxes(const QString& directory, QWidget* window)
    : QObject(window), m_directory(directory) {
    build_controls(window);
    wire_controls();
    check_address_text();
    check_port_text();
}

void PortAddressBoxes::build_controls(QWidget* window) {
    auto* label3 = place(new QLabel(QStringLiteral("串口号"), window), "Label3",
                         twips_rect(120, 120, 1335, 375), CaptionPoints);
    m_chuankou_num =
        place(new NumberBox(window), "chuankou_num", twips_rect(1680, 120, 615, 375), TextPoints);
    m_chuankou_num->setText(QStringLiteral("1"));
    m_VScroll2 = place(new Spinner(window), "VScroll2", twips_rect(2280, 120, 375, 375), 0);
    m_open_comm = place(new QPushButton(QStringLiteral("打开串口"), window), "open_comm",
                        twips_rect(3840, 120, 1455, 375), CaptionPoints);

    auto* label5 = place(new QLabel(QStringLiteral("模块地址"), window), "Label5",
                         twips_rect(120, 840, 1335, 375), CaptionPoints);
    m_add = place(new NumberBox(window), "add", twips_rect(1680, 840, 690, 375), TextPoints);
    m_add->setText(QStringLiteral("1"));
    m_VScroll1 = place(new Spinner(window), "VScroll1", twips_rect(2310, 840, 375, 375), 0);
    m_Command1 = place(new QPushButton(QStringLiteral("写地址"), window), "Command1",
                       twips_rect(3840, 840, 1095, 375), CaptionPoints);
    m_Command2 = place(new QPushButton(QStringLiteral("读地址"), window), "Command2",
                       twips_rect(5040, 840, 1095, 375), CaptionPoints);

    // Vertically centred: the line box of a CJK face is taller than these
    // labels, and centring keeps the whole glyphs inside them.
    for (QLabel* caption : {label3, label5}) {
        caption->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    }
    for (QWidget* black : std::initializer_list<QWidget*>{label3, label5, m_chuankou_num, m_add}) {
        make_text_black(black);
    }
}

void PortAddressBoxes::wire_controls() {
    connect(m_open_comm, &QPushButton::clicked, this, &PortAddressBoxes::open_clicked);
    connect(m_Command1, &QPushButton::clicked, this, &PortAddressBoxes::write_address_clicked);
    connect(m_Command2, &QPushButton::clicked, this, &PortAddressBoxes::read_address_clicked);
    connect(m_add, &QLineEdit::textChanged, this, &PortAddressBoxes::add_Change);
    connect(m_VScroll1, &QAbstractSlider::valueChanged, this, &PortAddressBoxes::VScroll1_Change);
    connect(m_chuankou_num, &QLineEdit::textChanged, this, &PortAddressBoxes::chuankou_num_Change);
    connect(m_VScroll2, &QAbstractSlider::valueChanged, this, &PortAddressBoxes::VScroll2_Change);
    // Devices come and go: the tooltip names the one the number stands for now.
    connect(m_chuankou_num, &NumberBox::tooltip_due, this, &PortAddressBoxes::describe_port);
}

QString PortAddressBoxes::port_text() const {
    return m_chuankou_num->text();
}

QString PortAddressBoxes::address_text() const {
    return m_add->text();
}

void PortAddressBoxes::adopt_address(std::uint8_t address) {
    const QString before = m_add->text();
    m_VScroll1->setValue(address);
    VScroll1_Change();
    // The box held this very text already, so no change step ran; the names
    // of the adopted address are loaded all the same.
    if (m_add->text() == before) {
        add_Change();
    }
}

void PortAddressBoxes::report_unusable_address(const QString& text) {
    if (text == m_add->text()) {
        check_address_text();
    }
}

void PortAddressBoxes::show_port_opened() {
    m_chuankou_num->setEnabled(false);
    m_open_comm->setText(QStringLiteral("关闭串口"));
}

void PortAddressBoxes::show_port_closed() {
    m_chuankou_num->setEnabled(true);
    m_open_comm->setText(QStringLiteral("打开串口"));
}

void PortAddressBoxes::add_Change() {
    if (const auto value = spinner_value(m_add->text())) {
        // May rewrite the box, which runs this step again inside.
        m_VScroll1->setValue(*value);
    }
    check_address_text();
    Q_EMIT address_changed(m_add->text());
}

void PortAddressBoxes::VScroll1_Change() {
    m_add->setText(QString::number(m_VScroll1->value()));
}

void PortAddressBoxes::chuankou_num_Change() {
    if (const auto value = spinner_value(m_chuankou_num->text())) {
        m_VScroll2->setValue(*value);
    }
    check_port_text();
}

void PortAddressBoxes::VScroll2_Change() {
    m_chuankou_num->setText(QString::number(m_VScroll2->value()));
}

void PortAddressBoxes::check_address_text() {
    const QString text = m_add->text();
    if (spinner_value(text)) {
        m_add->set_problem(QString());
        return;
    }
    QString problem = QStringLiteral("模块地址须为 0 到 255 之间的整数。");
    if (const auto address = address_from_text(text)) {
        problem += QStringLiteral("现在按地址 %1 通信。").arg(*address);
    } else {
        problem += QStringLiteral("改正之前不发送任何命令。");
    }
    m_add->set_problem(problem);
}

void PortAddressBoxes::check_port_text() {
    if (spinner_value(m_chuankou_num->text())) {
        m_chuankou_num->set_problem(QString());
        describe_port();
    } else {
        m_chuankou_num->set_problem(QStringLiteral("串口号须为 0 到 255 之间的整数。"));
    }
}

void PortAddressBoxes::describe_port() {
    const PortResolution port = resolve_port_number(m_chuankou_num->text(), m_directory);
    m_chuankou_num->set_note(port.ok() ? port.description : port.failure);
}

}  // namespace relay
