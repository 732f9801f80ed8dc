#include "ui/main_form.h"

#include "protocol/number_text.h"
#include "serial/port_resolver.h"
#include "serial/serial_link.h"
#include "ui/channel_indicator.h"
#include "ui/channel_name_label.h"
#include "ui/ink_centred_style.h"
#include "ui/name_form.h"
#include "ui/number_box.h"
#include "ui/song_font.h"
#include "ui/spinner.h"
#include "ui/twips.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <initializer_list>
#include <optional>

namespace relay {

namespace {

constexpr qreal TextPoints = 15;
constexpr qreal CaptionPoints = 15.75;

// The value a spinner can carry for the text, if any.
std::optional<int> spinner_value(const QString& text) {
    const auto number = whole_number_from_text(text, Spinner::Lowest, Spinner::Highest);
    if (!number) {
        return std::nullopt;
    }
    return static_cast<int>(*number);
}

// Channels 1..8 run down the left column, 9..16 up the right one.
int channel_row(int channel) {
    return channel <= 8 ? channel - 1 : ChannelCount - channel;
}

QMessageBox::Icon box_icon(MessageSink::Icon icon) {
    switch (icon) {
        case MessageSink::Icon::Information:
            return QMessageBox::Information;
        case MessageSink::Icon::Warning:
            return QMessageBox::Warning;
        case MessageSink::Icon::Error:
            return QMessageBox::Critical;
        case MessageSink::Icon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

template <typename Widget>
Widget* place(Widget* widget, const char* name, const QRect& geometry, qreal points) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(geometry);
    if (points > 0) {
        widget->setFont(song_font(points));
    }
    return widget;
}

void make_text_black(QWidget* widget) {
    QPalette black = widget->palette();
    black.setColor(QPalette::WindowText, Qt::black);
    black.setColor(QPalette::Text, Qt::black);
    widget->setPalette(black);
}

}  // namespace

MainForm::MainForm(const QString& directory, std::unique_ptr<SerialPort> port,
                   MessageSink* messages, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      m_messages(messages != nullptr ? messages : this),
      m_directory(directory),
      m_names(*m_messages, directory),
      m_port(std::move(port)),
      m_controller(*this, frame_writer_for(*m_port)) {
    setObjectName(QStringLiteral("main_form"));
    setWindowTitle(QStringLiteral("16路串口控制继电器板Tavi"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/relay-panel.png")));
    setFixedSize(twips_rect(0, 0, 6720, 7965).size());

    build_controls();
    wire_controls();
    set_tab_order();
    check_address_text();
    check_port_text();
    m_chuankou_num->setFocus();

    // The start-up state: port closed, yet the timer already ticks.
    m_Timer1->start();
}

MainForm::~MainForm() {
    // The dialog works on m_names; it must not outlive it.
    delete m_name_form.data();
}

void MainForm::build_controls() {
    m_Label3 = place(new QLabel(QStringLiteral("串口号"), this), "Label3",
                     twips_rect(120, 120, 1335, 375), CaptionPoints);
    m_chuankou_num =
        place(new NumberBox(this), "chuankou_num", twips_rect(1680, 120, 615, 375), TextPoints);
    m_chuankou_num->setText(QStringLiteral("1"));
    m_VScroll2 = place(new Spinner(this), "VScroll2", twips_rect(2280, 120, 375, 375), 0);
    m_open_comm = place(new QPushButton(QStringLiteral("打开串口"), this), "open_comm",
                        twips_rect(3840, 120, 1455, 375), CaptionPoints);

    m_Label5 = place(new QLabel(QStringLiteral("模块地址"), this), "Label5",
                     twips_rect(120, 840, 1335, 375), CaptionPoints);
    m_add = place(new NumberBox(this), "add", twips_rect(1680, 840, 690, 375), TextPoints);
    m_add->setText(QStringLiteral("1"));
    m_VScroll1 = place(new Spinner(this), "VScroll1", twips_rect(2310, 840, 375, 375), 0);
    m_Command1 = place(new QPushButton(QStringLiteral("写地址"), this), "Command1",
                       twips_rect(3840, 840, 1095, 375), CaptionPoints);
    m_Command2 = place(new QPushButton(QStringLiteral("读地址"), this), "Command2",
                       twips_rect(5040, 840, 1095, 375), CaptionPoints);

    // Vertically centred: the line box of a CJK face is taller than these
    // labels, and centring keeps the whole glyphs inside them.
    for (QLabel* caption : {m_Label3, m_Label5}) {
        caption->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    }
    for (QWidget* black :
         std::initializer_list<QWidget*>{m_Label3, m_Label5, m_chuankou_num, m_add}) {
        make_text_black(black);
    }

    for (int channel = 1; channel <= ChannelCount; ++channel) {
        const int row_top = 720 * channel_row(channel);
        const bool left = channel <= 8;
        auto* indicator = new ChannelIndicator(channel, this);
        indicator->setGeometry(twips_rect(left ? 1440 : 3840, 1560 + row_top, 1335, 615));
        m_Picture1[static_cast<std::size_t>(channel - 1)] = indicator;

        auto* name = new ChannelNameLabel(channel, this);
        name->setGeometry(twips_rect(left ? 120 : 5280, 1680 + row_top, 1335, 615));
        name->setFont(song_font(TextPoints));
        m_Label4[static_cast<std::size_t>(channel - 1)] = name;
    }

    m_openall = place(new QPushButton(QStringLiteral("吸合所有"), this), "openall",
                      twips_rect(1680, 7440, 1455, 375), CaptionPoints);
    m_closeall = place(new QPushButton(QStringLiteral("断开所有"), this), "closeall",
                       twips_rect(3600, 7440, 1455, 375), CaptionPoints);
    auto* button_style = new InkCentredStyle();
    button_style->setParent(this);
    for (QPushButton* button : {m_open_comm, m_Command1, m_Command2, m_openall, m_closeall}) {
        button->setAutoDefault(false);
        button->setStyle(button_style);
    }

    m_Timer1 = new QTimer(this);
    m_Timer1->setObjectName(QStringLiteral("Timer1"));
    m_Timer1->setInterval(BoardController::TickMilliseconds);
}

void MainForm::wire_controls() {
    connect(m_open_comm, &QPushButton::clicked, this, &MainForm::open_comm_Click);
    connect(m_openall, &QPushButton::clicked, this, [this] { m_controller.energise_all(); });
    connect(m_closeall, &QPushButton::clicked, this, [this] { m_controller.release_all(); });
    connect(m_Command1, &QPushButton::clicked, this, [this] { m_controller.write_address(); });
    connect(m_Command2, &QPushButton::clicked, this, [this] { m_controller.read_address(); });
    connect(m_add, &QLineEdit::textChanged, this, &MainForm::add_Change);
    connect(m_VScroll1, &QAbstractSlider::valueChanged, this, &MainForm::VScroll1_Change);
    connect(m_chuankou_num, &QLineEdit::textChanged, this, &MainForm::chuankou_num_Change);
    connect(m_VScroll2, &QAbstractSlider::valueChanged, this, &MainForm::VScroll2_Change);
    for (ChannelIndicator* indicator : m_Picture1) {
        connect(indicator, &ChannelIndicator::clicked, this,
                [this](int channel) { m_controller.toggle_channel(channel); });
    }
    for (ChannelNameLabel* name : m_Label4) {
        connect(name, &ChannelNameLabel::clicked, this, &MainForm::open_name_form);
    }
    // Devices come and go: the tooltip names the one the number stands for now.
    connect(m_chuankou_num, &NumberBox::tooltip_due, this, &MainForm::describe_port);
    connect(m_Timer1, &QTimer::timeout, this, &MainForm::Timer1_Timer);
    connect(m_port.get(), &SerialPort::group_received, this,
            [this](const Frame& group) { m_controller.receive(group); });
    connect(m_port.get(), &SerialPort::device_lost, this, &MainForm::on_device_lost);
}

void MainForm::set_tab_order() {
    QList<QWidget*> order{m_chuankou_num, m_open_comm, m_add,     m_openall,
                          m_closeall,     m_VScroll1,  m_VScroll2};
    for (ChannelIndicator* indicator : m_Picture1) {
        order.append(indicator);
    }
    order.append(m_Command1);
    order.append(m_Command2);
    for (qsizetype i = 1; i < order.size(); ++i) {
        setTabOrder(order[i - 1], order[i]);
    }
}

void MainForm::load_form() {
    m_names.init_name_file([this](const QString& title) { setWindowTitle(title); });
    load_channel_names(m_add->text());
}

QString MainForm::address_text() const {
    return m_add->text();
}

void MainForm::show_channel(int channel, ChannelLook look) {
    if (channel >= 1 && channel <= ChannelCount) {
        m_Picture1[static_cast<std::size_t>(channel - 1)]->show_look(look);
    }
}

ChannelLook MainForm::channel_look(int channel) const {
    if (channel < 1 || channel > ChannelCount) {
        return ChannelLook::Unknown;
    }
    return m_Picture1[static_cast<std::size_t>(channel - 1)]->look();
}

void MainForm::adopt_address(std::uint8_t address) {
    const QString before = m_add->text();
    m_VScroll1->setValue(address);
    VScroll1_Change();
    // The box held this very text already, so no change step ran; the names
    // of the adopted address are loaded all the same.
    if (m_add->text() == before) {
        add_Change();
    }
}

void MainForm::report_unusable_address(const QString& text) {
    if (text == m_add->text()) {
        check_address_text();
    }
}

void MainForm::show_message(Icon icon, const QString& title, const QString& text) {
    // Before the first show there is no window to stand over.
    QMessageBox box(box_icon(icon),
                    title.isEmpty() ? QGuiApplication::applicationDisplayName() : title, text,
                    QMessageBox::Ok, isVisible() ? this : nullptr);
    box.exec();
}

void MainForm::show_port_opened() {
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        show_channel(channel, ChannelLook::Unknown);
    }
    m_openall->setEnabled(true);
    m_closeall->setEnabled(true);
    // Switched on, not restarted: a running timer keeps its rhythm.
    if (!m_Timer1->isActive()) {
        m_Timer1->start();
    }
    m_chuankou_num->setEnabled(false);
    m_open_comm->setText(QStringLiteral("关闭串口"));
}

void MainForm::show_port_closed() {
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        show_channel(channel, ChannelLook::PortClosed);
    }
    m_openall->setEnabled(false);
    m_closeall->setEnabled(false);
    m_Timer1->stop();
    m_chuankou_num->setEnabled(true);
    m_open_comm->setText(QStringLiteral("打开串口"));
}

void MainForm::add_Change() {
    if (const auto value = spinner_value(m_add->text())) {
        // May rewrite the box, which runs this step again inside.
        m_VScroll1->setValue(*value);
    }
    check_address_text();
    load_channel_names(m_add->text());
}

void MainForm::Timer1_Timer() {
    m_controller.tick();
}

void MainForm::showEvent(QShowEvent* event) {
    if (!m_centred) {
        m_centred = true;
        if (const QScreen* shown_on = screen()) {
            move(shown_on->availableGeometry().center() - rect().center());
        }
    }
    QWidget::showEvent(event);
}

void MainForm::closeEvent(QCloseEvent* event) {
    // The dialog's OK would reload this window's labels; it goes with it.
    if (m_name_form) {
        m_name_form->close();
    }
    QWidget::closeEvent(event);
}

void MainForm::open_comm_Click() {
    if (m_port->is_open()) {
        m_port->close();
        show_port_closed();
        return;
    }
    if (!m_port->open(m_chuankou_num->text())) {
        QString reason = m_port->error_text();
        if (reason.isEmpty()) {
            reason = QStringLiteral("串口 %1 无法打开。").arg(m_chuankou_num->text());
        }
        m_messages->show_message(Icon::Warning, QString(), reason);
        return;
    }
    show_port_opened();
}

void MainForm::VScroll1_Change() {
    m_add->setText(QString::number(m_VScroll1->value()));
}

void MainForm::chuankou_num_Change() {
    if (const auto value = spinner_value(m_chuankou_num->text())) {
        m_VScroll2->setValue(*value);
    }
    check_port_text();
}

void MainForm::VScroll2_Change() {
    m_chuankou_num->setText(QString::number(m_VScroll2->value()));
}

void MainForm::open_name_form(int channel) {
    const QString channel_text = QString::number(channel);
    if (m_name_form) {
        m_name_form->set_target(m_add->text(), channel_text);
    } else {
        m_name_form = new NameForm(m_names, this);
        connect(m_name_form, &NameForm::name_saved, this, &MainForm::add_Change);
        m_name_form->set_target(m_add->text(), channel_text);
        m_name_form->load();
    }
    m_name_form->show();
    m_name_form->raise();
    m_name_form->activateWindow();
}

void MainForm::load_channel_names(const QString& address_text) {
    const QStringList names = m_names.load_channel_names(address_text);
    for (int i = 0; i < ChannelCount; ++i) {
        m_Label4[static_cast<std::size_t>(i)]->setText(names.value(i));
    }
}

void MainForm::check_address_text() {
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

void MainForm::check_port_text() {
    if (spinner_value(m_chuankou_num->text())) {
        m_chuankou_num->set_problem(QString());
        describe_port();
    } else {
        m_chuankou_num->set_problem(QStringLiteral("串口号须为 0 到 255 之间的整数。"));
    }
}

void MainForm::describe_port() {
    const PortResolution port = resolve_port_number(m_chuankou_num->text(), m_directory);
    m_chuankou_num->set_note(port.ok() ? port.description : port.failure);
}

void MainForm::on_device_lost(const QString& message) {
    show_port_closed();
    const QString text = message.isEmpty() ? QStringLiteral("串口已断开。") : message;
    // Told once the port's own signal has returned: a modal box must not run
    // inside the port's error handling.
    QMetaObject::invokeMethod(
        this, [this, text] { m_messages->show_message(Icon::Warning, QString(), text); },
        Qt::QueuedConnection);
}

}  // namespace relay
