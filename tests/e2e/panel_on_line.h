#pragma once

#include "support/find_control.h"

#include "look_audit.h"
#include "serial/qt_serial_port.h"
#include "support/recording_messages.h"
#include "ui/main_form.h"
#include "ui/song_font.h"

#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>

namespace relay::testing {

constexpr int Patience = 10000;

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
    ~PanelOnLine() {
        stop_boards();
        if (m_relayd.state() != QProcess::NotRunning) {
            m_relayd.terminate();
            m_relayd.waitForFinished(Patience);
        }
    }

    // From now on the boards sit behind relayd, and the panel's port 1 is the
    // first of relayd's shared ports, com2 the second one.
    void share_through_relayd(const QStringList& relayd_options) {
        m_relayd_options = relayd_options;
    }

    // Boards 1 and 2 in this state; waits for the tty line, printed once the link exists.
    bool start_boards(std::uint16_t state, const QStringList& faults = {},
                      const QStringList& boards = {"1", "2"}) {
        const bool shared = !m_relayd_options.isEmpty();
        m_board.start(QStringLiteral(RELAY_BOARD_SIM),
                      QStringList{"--link", m_line_dir.filePath(shared ? "board" : "com1"), "--log",
                                  "--boards", boards.join(','), "--state", LookAudit::hex4(state)} +
                          faults);
        const bool started = m_board.waitForStarted(Patience) &&
                             QTest::qWaitFor([this] { return m_board.canReadLine(); }, Patience) &&
                             m_board.readLine().startsWith('/');
        if (!started || !shared || m_relayd.state() != QProcess::NotRunning) {
            return started;
        }
        m_relayd.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_relayd.start(QStringLiteral(RELAYD), QStringList{"--port", m_line_dir.filePath("board"),
                                                           "--boards", boards.join(','), "--share",
                                                           m_line_dir.filePath("com1") + ',' +
                                                               m_line_dir.filePath("com2")} +
                                                   m_relayd_options);
        return QTest::qWaitFor([this] { return QFileInfo::exists(m_line_dir.filePath("com2")); },
                               Patience);
    }
    bool open_on_boards(std::uint16_t state, const QStringList& faults = {}) {
        if (start_boards(state, faults)) {
            click("open_comm");
        }
        return m_port->is_open();
    }
    void signal_boards(int number) { ::kill(static_cast<pid_t>(m_board.processId()), number); }
    void stop_boards() {
        if (m_board.state() != QProcess::NotRunning) {
            m_board.terminate();
            m_board.waitForFinished(Patience);
        }
        if (QTest::currentTestFailed()) {
            qWarning("board log, last lines:\n%s", m_board.readAll().right(4000).constData());
        }
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

    QTemporaryDir m_line_dir;
    QTemporaryDir m_name_dir;
    RecordingMessages m_messages;
    LookAudit m_audit;
    QtSerialPort* m_port = nullptr;
    std::unique_ptr<MainForm> m_form;
    QProcess m_board;
    QProcess m_relayd;
    QStringList m_relayd_options;
};

}  // namespace relay::testing
