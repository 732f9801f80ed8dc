#pragma once

#include "look_audit.h"
#include "serial/qt_serial_port.h"
#include "support/find_control.h"
#include "support/processes.h"
#include "support/recording_messages.h"
#include "ui/main_form.h"
#include "ui/song_font.h"

#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <memory>

namespace relay::testing {

// The whole panel over a real serial port, with the virtual board program on a
// pseudo-terminal behind its comN link; messages are recorded.
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
    // From now on the boards sit behind relayd, and the panel's port 1 is the
    // first of relayd's shared ports, com2 the second one.
    void share_through_relayd(const QStringList& relayd_options) {
        m_relayd_options = relayd_options;
    }

    // Boards 1 and 2 in this state, and relayd in front of them once.
    bool start_boards(std::uint16_t state, const QStringList& faults = {},
                      const QStringList& boards = {"1", "2"}) {
        const bool shared = !m_relayd_options.isEmpty();
        const bool started = m_board.start(
            QStringList{"--boards", boards.join(','), "--state", LookAudit::hex4(state)} + faults,
            m_line_dir.path(shared ? "board" : "com1"));
        if (!started || !shared || m_relayd.running()) {
            return started;
        }
        const QString ports = m_line_dir.path("com1") + ',' + m_line_dir.path("com2");
        return m_relayd.start(QStringList{"--port", m_line_dir.path("board"), "--boards",
                                          boards.join(','), "--share", ports} +
                              m_relayd_options) &&
               QTest::qWaitFor([this] { return QFileInfo::exists(m_line_dir.path("com2")); },
                               Patience);
    }
    bool open_on_boards(std::uint16_t state, const QStringList& faults = {}) {
        if (start_boards(state, faults)) {
            click("open_comm");
        }
        return m_port->is_open();
    }
    template <typename T = QWidget>
    T* find(const QString& name) const {
        return find_control<T>(*m_form, name);
    }
    void click(const QString& name) const { QTest::mouseClick(find(name), Qt::LeftButton); }
    void select_address(const QString& text) const {
        find<QLineEdit>(QStringLiteral("add"))->setText(text);
    }
    bool shows_port_closed() const {
        return !m_port->is_open() && m_audit.shown() == QStringLiteral("port closed") &&
               find<QPushButton>(QStringLiteral("open_comm"))->text() == QStringLiteral("打开串口");
    }

    Folder m_line_dir{false};
    Folder m_name_dir{false};
    RecordingMessages m_messages;
    LookAudit m_audit;
    QtSerialPort* m_port = nullptr;
    std::unique_ptr<MainForm> m_form;
    VirtualBoard m_board;
    Relayd m_relayd;
    QStringList m_relayd_options;
};

}  // namespace relay::testing
