#pragma once

#include "controller/board_controller.h"
#include "controller/board_view.h"
#include "names/message_sink.h"
#include "names/name_file.h"
#include "serial/serial_port.h"
#include "ui/name_form.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <memory>

class QTimer;

namespace relay {

class ChannelGrid;
class PortAddressBoxes;

// The panel: the port and address boxes above the channel grid. It shows
// what the controller decides, owns the poll timer and the port, and opens
// the rename dialog.
class MainForm : public QWidget, public BoardView, public MessageSink {
    Q_OBJECT
public:
    // directory holds the comN links and name.txt (the user's own when it
    // cannot be written: names/name_location.h). Messages go to real message
    // boxes unless another sink is given.
    MainForm(const QString& directory, std::unique_ptr<SerialPort> port,
             MessageSink* messages = nullptr, QWidget* parent = nullptr);
    ~MainForm() override;

    // Before the first show: name.txt and the title, then the names of the
    // address in the box.
    void load_form();

    QString address_text() const override;
    void show_channel(int channel, ChannelLook look) override;
    ChannelLook channel_look(int channel) const override;
    void adopt_address(std::uint8_t address) override;
    void report_unusable_address(const QString& text) override;

    void show_message(Icon icon, const QString& title, const QString& text) override;

    void show_port_opened();
    void show_port_closed();

    // The open rename dialog, if any.
    NameForm* name_form() const { return m_name_form; }

public Q_SLOTS:
    // The address box's change step; the rename dialog runs it after a save.
    void add_Change();
    // One poll step, as on every Timer1 timeout.
    void Timer1_Timer();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void wire_controls();
    void set_tab_order();
    void open_comm_Click();
    void open_name_form(int channel);
    void load_channel_names(const QString& address_text);
    void on_device_lost(const QString& message);

    MessageSink* m_messages = nullptr;
    NameFile m_names;
    std::unique_ptr<SerialPort> m_port;
    BoardController m_controller;

    PortAddressBoxes* m_boxes = nullptr;
    ChannelGrid* m_grid = nullptr;
    QTimer* m_Timer1 = nullptr;

    QPointer<NameForm> m_name_form;
    bool m_centred = false;
};

}  // namespace relay
