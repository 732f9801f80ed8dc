#pragma once

#include <QObject>
#include <QString>

#include <cstdint>

class QPushButton;
class QWidget;

namespace relay {

class NumberBox;
class Spinner;

// The panel's top rows: the port number box with its spinner and the open
// button, the address box with its spinner and the address buttons. A box and
// its spinner follow each other, and a box whose text is unusable is marked.
// The controls are the window's own children, so they keep their places and
// their turns in its tab order.
class PortAddressBoxes : public QObject {
    Q_OBJECT
public:
    // directory holds the comN links that the port box's tooltip resolves.
    PortAddressBoxes(const QString& directory, QWidget* window);

    QString port_text() const;
    QString address_text() const;
    // Spinner and box follow the board that answered; the change step runs
    // even when the box held that text already.
    void adopt_address(std::uint8_t address);
    void report_unusable_address(const QString& text);

    // The port box is locked while the port is open.
    void show_port_opened();
    void show_port_closed();

public Q_SLOTS:
    // The address box's change step.
    void add_Change();

Q_SIGNALS:
    void open_clicked();
    void write_address_clicked();
    void read_address_clicked();
    // The change step has settled on this text: its names are due.
    void address_changed(const QString& text);

private:
    void build_controls(QWidget* window);
    void wire_controls();
    void VScroll1_Change();
    void chuankou_num_Change();
    void VScroll2_Change();
    void check_address_text();
    void check_port_text();
    void describe_port();

    QString m_directory;

    NumberBox* m_chuankou_num = nullptr;
    Spinner* m_VScroll2 = nullptr;
    QPushButton* m_open_comm = nullptr;
    NumberBox* m_add = nullptr;
    Spinner* m_VScroll1 = nullptr;
    QPushButton* m_Command1 = nullptr;
    QPushButton* m_Command2 = nullptr;
};

}  // namespace relay
