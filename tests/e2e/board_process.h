#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QtTest>

#include <csignal>

namespace relay::testing {

// The virtual board program on a pseudo-terminal behind a comN link, with its
// frame log kept for the diagnosis of a failure.
class BoardProcess {
public:
    static constexpr int Patience = 10000;

    explicit BoardProcess(QString link) : m_link(std::move(link)) {}
    ~BoardProcess() { stop(); }
    BoardProcess(const BoardProcess&) = delete;
    BoardProcess& operator=(const BoardProcess&) = delete;

    // Waits for the tty line, which the program prints once its link exists.
    bool start(const QStringList& options) {
        m_log.clear();
        m_process.start(
            QStringLiteral(RELAY_BOARD_SIM),
            QStringList{QStringLiteral("--link"), m_link, QStringLiteral("--log")} + options);
        if (!m_process.waitForStarted(Patience)) {
            return false;
        }
        if (!QTest::qWaitFor([this] { return m_process.canReadLine(); }, Patience)) {
            return false;
        }
        return QString::fromLocal8Bit(m_process.readLine()).startsWith(QLatin1Char('/'));
    }

    void send_signal(int number) {
        if (m_process.state() == QProcess::Running) {
            ::kill(static_cast<pid_t>(m_process.processId()), number);
        }
    }

    bool wait_finished() {
        collect();
        return m_process.state() == QProcess::NotRunning || m_process.waitForFinished(Patience);
    }

    void stop() {
        if (m_process.state() == QProcess::NotRunning) {
            return;
        }
        m_process.terminate();
        if (!m_process.waitForFinished(Patience)) {
            m_process.kill();
            m_process.waitForFinished(Patience);
        }
        collect();
        if (QTest::currentTestFailed()) {
            qWarning("board log, last lines:\n%s", qPrintable(m_log.right(4000)));
        }
    }

private:
    void collect() {
        m_log += QString::fromLocal8Bit(m_process.readAllStandardOutput());
        m_log += QString::fromLocal8Bit(m_process.readAllStandardError());
    }

    QString m_link;
    QProcess m_process;
    QString m_log;
};

}  // namespace relay::testing
