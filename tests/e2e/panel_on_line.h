#pragma once

#include "support/find_control.h"

#include "look_audit.h"
#include "serial/qt_serial_port.h"
#include "support/recording_messages.h"
#include "ui/main_form.h"
#include "ui/song_font.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace relay::testing {

// The whole panel over a real serial port: port 1 is the comN link in a
// directory of its own, name.txt lives in another, and messages are recorded.
class PanelOnLine {
public:
    PanelOnLine() {
        substitute_song_face();
        auto port = std::make_unique<QtSerialPort>();
        port->set_link_directory(m_line_dir.path());
        m_port = port.get();
        m_audit.watch_port(*port);
        m_form = std::make_unique<MainForm>(m_name_dir.path(), std::move(port), &m_messages);
        m_form->load_form();
        // The first start's own messages about name.txt.
        m_messages.clear();
        m_audit.attach(*m_form, *m_port);
        m_form->show();
    }

    QString link() const { return m_line_dir.filePath(QStringLiteral("com1")); }

    template <typename T = QWidget>
    T* find(const QString& name) const {
        return find_control<T>(*m_form, name);
    }
    void click(const QString& name) const { QTest::mouseClick(find(name), Qt::LeftButton); }
    void select_address(const QString& text) const {
        find<QLineEdit>(QStringLiteral("add"))->setText(text);
    }
    bool port_open() const { return m_port->is_open(); }
    QString caption() const { return find<QPushButton>(QStringLiteral("open_comm"))->text(); }

    // Grey channels, the open caption, and only the port box and spinners to use.
    bool shows_port_closed() const {
        return m_audit.shown() == QStringLiteral("port closed") &&
               caption() == QStringLiteral("打开串口") &&
               find(QStringLiteral("chuankou_num"))->isEnabled() &&
               !find(QStringLiteral("openall"))->isEnabled() &&
               !find(QStringLiteral("closeall"))->isEnabled();
    }

    QTemporaryDir m_line_dir;
    QTemporaryDir m_name_dir;
    RecordingMessages m_messages;
    LookAudit m_audit;
    QtSerialPort* m_port = nullptr;
    std::unique_ptr<MainForm> m_form;
};

}  // namespace relay::testing
