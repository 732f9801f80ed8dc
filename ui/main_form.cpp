#include "ui/main_form.h"

#include "names/name_location.h"
#include "serial/serial_link.h"
#include "ui/channel_grid.h"
#include "ui/ink_centred_style.h"
#include "ui/name_form.h"
#include "ui/port_address_boxes.h"
#include "ui/twips.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

namespace relay {

namespace {

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

}  // namespace

MainForm::MainForm(const QString& directory, std::unique_ptr<SerialPort> port,
                   MessageSink* messages, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      m_messages(messages != nullptr ? messages : this),
      // Installed system-wide the program's folder cannot be written: the
      // names are then the user's own.
      m_names(*m_messages, name_directory_for(directory, user_name_directory())),
      m_port(std::move(port)),
      m_controller(*this, frame_writer_for(*m_port)) {
    setObjectName(QStringLiteral("main_form"));
    setWindowTitle(QStringLiteral("16路串口控制继电器板Tavi"));
    setWindowIcon(QIcon(QStringLiteral(":/icons/relay-panel.png")));
    setFixedSize(twips_rect(0, 0, 6720, 7965).size());

    m_boxes = new PortAddressBoxes(directory, this);
    m_grid = new ChannelGrid(this);
    // Made after the buttons, so that it outlives them.
    auto* button_style = new InkCentredStyle();
    button_style->setParent(this);
    for (QPushButton* button : findChildren<QPushButton*>(Qt::FindDirectChildrenOnly)) {
        button->setAutoDefault(false);
        button->setStyle(button_style);
    }
    m_Timer1 = new QTimer(this);
    m_Timer1->setObjectName(QStringLiteral("Timer1"));
    m_Timer1->setInterval(BoardController::TickMilliseconds);

    wire_controls();
    set_tab_order();

    // The start-up state: port closed, yet the timer already ticks.
    m_Timer1->start();
}

MainForm::~MainForm() {
    // The dialog works on m_names; it must not outlive it.
    delete m_name_form.data();
}

void MainForm::wire_controls() {
    connect(m_boxes, &PortAddressBoxes::open_clicked, this, &MainForm::open_comm_Click);
    connect(m_boxes, &PortAddressBoxes::write_address_clicked, this,
            [this] { m_controller.write_address(); });
    connect(m_boxes, &PortAddressBoxes::read_address_clicked, this,
            [this] { m_controller.read_address(); });
    connect(m_boxes, &PortAddressBoxes::address_changed, this, &MainForm::load_channel_names);
    connect(m_grid, &ChannelGrid::all_on_clicked, this, [this] { m_controller.energise_all(); });
    connect(m_grid, &ChannelGrid::all_off_clicked, this, [this] { m_controller.release_all(); });
    connect(m_grid, &ChannelGrid::channel_clicked, this,
            [this](int channel) { m_controller.toggle_channel(channel); });
    connect(m_grid, &ChannelGrid::name_clicked, this, &MainForm::open_name_form);
    connect(m_Timer1, &QTimer::timeout, this, &MainForm::Timer1_Timer);
    connect(m_port.get(), &SerialPort::group_received, this,
            [this](const Frame& group) { m_controller.receive(group); });
    connect(m_port.get(), &SerialPort::device_lost, this, &MainForm::on_device_lost);
}

void MainForm::set_tab_order() {
    QStringList names{QStringLiteral("chuankou_num"), QStringLiteral("open_comm"),
                      QStringLiteral("add"),          QStringLiteral("openall"),
                      QStringLiteral("closeall"),     QStringLiteral("VScroll1"),
                      QStringLiteral("VScroll2")};
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        names.append(QStringLiteral("Picture1(%1)").arg(channel));
    }
    names << QStringLiteral("Command1") << QStringLiteral("Command2");
    QList<QWidget*> order;
    for (const QString& name : names) {
        order.append(findChild<QWidget*>(name, Qt::FindDirectChildrenOnly));
    }
    for (qsizetype i = 1; i < order.size(); ++i) {
        setTabOrder(order[i - 1], order[i]);
    }
    // The port box, first in turn, has the focus at the start.
    order.first()->setFocus();
}

void MainForm::load_form() {
    m_names.init_name_file([this](const QString& title) { setWindowTitle(title); });
    load_channel_names(m_boxes->address_text());
}

QString MainForm::address_text() const {
    return m_boxes->address_text();
}

void MainForm::show_channel(int channel, ChannelLook look) {
    m_grid->show_channel(channel, look);
}

ChannelLook MainForm::channel_look(int channel) const {
    return m_grid->channel_look(channel);
}

void MainForm::adopt_address(std::uint8_t address) {
    m_boxes->adopt_address(address);
}

void MainForm::report_unusable_address(const QString& text) {
    m_boxes->report_unusable_address(text);
}

void MainForm::show_message(Icon icon, const QString& title, const QString& text) {
    // Before the first show there is no window to stand over.
    QMessageBox box(box_icon(icon),
                    title.isEmpty() ? QGuiApplication::applicationDisplayName() : title, text,
                    QMessageBox::Ok, isVisible() ? this : nullptr);
    box.exec();
}

void MainForm::show_port_opened() {
    m_grid->show_port_opened();
    // Switched on, not restarted: a running timer keeps its rhythm.
    if (!m_Timer1->isActive()) {
        m_Timer1->start();
    }
    m_boxes->show_port_opened();
}

void MainForm::show_port_closed() {
    m_grid->show_port_closed();
    m_Timer1->stop();
    m_boxes->show_port_closed();
}

void MainForm::add_Change() {
    m_boxes->add_Change();
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
    const QString number = m_boxes->port_text();
    if (!m_port->open(number)) {
        QString reason = m_port->error_text();
        if (reason.isEmpty()) {
            reason = QStringLiteral("串口 %1 无法打开。").arg(number);
        }
        m_messages->show_message(Icon::Warning, QString(), reason);
        return;
    }
    show_port_opened();
}

void MainForm::open_name_form(int channel) {
    const QString channel_text = QString::number(channel);
    const QString address = m_boxes->address_text();
    if (m_name_form) {
        m_name_form->set_target(address, channel_text);
    } else {
        m_name_form = new NameForm(m_names, this);
        connect(m_name_form, &NameForm::name_saved, this, &MainForm::add_Change);
        m_name_form->set_target(address, channel_text);
        m_name_form->load();
    }
    m_name_form->show();
    m_name_form->raise();
    m_name_form->activateWindow();
}

void MainForm::load_channel_names(const QString& address_text) {
    m_grid->show_names(m_names.load_channel_names(address_text));
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
