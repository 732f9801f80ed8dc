#pragma once

#include "names/name_file.h"
#include "support/recording_messages.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

// The programs the process-level suites start: the virtual board, relayd,
// ser2net, relayctl; the broker is in mosquitto_broker.h, the browser in
// browser.h. Each ends with its object, and a failed test shows what a program
// still running had printed.
namespace relay::testing {

constexpr int Patience = 20000;

// A program of this build.
inline QString program(const QString& name) {
    return QStringLiteral(RELAY_PROGRAM_DIR "/") + name;
}

// A loopback port that nothing listens on right now.
inline int free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 &&
                    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    ::close(fd);
    return ok ? ntohs(addr.sin_port) : 0;
}

// Asked of the system, not by connecting: to ser2net a probe would be a user.
inline bool listening(int port) {
    QFile table(QStringLiteral("/proc/net/tcp"));
    const QString local = QStringLiteral(":%1").arg(port, 4, 16, QChar('0')).toUpper();
    const QStringList lines =
        table.open(QIODevice::ReadOnly) ? QString(table.readAll()).split('\n') : QStringList();
    return std::any_of(lines.begin(), lines.end(), [&](const QString& line) {
        const QStringList fields = line.simplified().split(' ');
        return fields.size() > 3 && fields[1].endsWith(local) && fields[3] == "0A";
    });
}

// A loopback port that takes no connection: listening with a queue of one
// that a first connection fills and nobody accepts, so Linux drops further
// requests and a connect hangs as it does towards a host that has gone.
// Without a port, any free one.
class DroppingPort {
public:
    explicit DroppingPort(int port = 0) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        socklen_t length = sizeof addr;
        const int reuse = 1;
        ::setsockopt(m_socket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        ::bind(m_socket, reinterpret_cast<sockaddr*>(&addr), length);
        ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&addr), &length);
        m_port = ntohs(addr.sin_port);
        ::listen(m_socket, 0);
        ::connect(m_filler, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    DroppingPort(const DroppingPort&) = delete;
    DroppingPort& operator=(const DroppingPort&) = delete;
    ~DroppingPort() {
        ::close(m_filler);
        ::close(m_socket);
    }
    int port() const { return m_port; }

private:
    int m_socket = ::socket(AF_INET, SOCK_STREAM, 0);
    int m_filler = ::socket(AF_INET, SOCK_STREAM, 0);
    int m_port = 0;
};

inline bool write_file(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A folder of its own, like the panel's: programs copied in find name.txt
// (the default names, unless made without) and comN links beside themselves.
class Folder {
public:
    explicit Folder(bool with_names = true) {
        if (with_names) {
            RecordingMessages messages;
            NameFile(messages, m_dir.path()).init_name_file([](const QString&) {});
        }
    }
    QString path(const QString& name = {}) const {
        return name.isEmpty() ? m_dir.path() : m_dir.filePath(name);
    }
    // A copy of a program of the build in here; empty if it cannot be made.
    QString copy(const QString& name) const {
        const QString to = path(name);
        return QFile::exists(to) || QFile::copy(program(name), to) ? to : QString();
    }

private:
    QTemporaryDir m_dir;
};

// A program that runs beside the test: what it printed, signals, its end.
class Process {
public:
    explicit Process(QProcess::ProcessChannelMode mode = QProcess::MergedChannels) {
        m_process.setProcessChannelMode(mode);
        // A test that crashes leaves nothing running behind it.
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process() { stop(); }

    bool start(const QString& path, const QStringList& arguments) {
        m_output.clear();
        m_process.start(path, arguments);
        return m_process.waitForStarted(Patience);
    }
    // All it printed so far (stdout only when the channels are separate),
    // decoded whole: a character may come in two reads.
    QString output() { return QString::fromLocal8Bit(m_output += m_process.readAll()); }
    bool wait_output(const QString& text, int ms = Patience) {
        return QTest::qWaitFor([&] { return output().contains(text); }, ms);
    }
    void signal(int number) {
        if (running()) {  // never pid 0: that is the test's own process group
            ::kill(static_cast<pid_t>(m_process.processId()), number);
        }
    }
    bool running() const { return m_process.state() != QProcess::NotRunning; }
    // True once it has ended.
    bool finish(int ms = Patience) { return !running() || m_process.waitForFinished(ms); }
    // -1 for a crash, a signal, or while it runs.
    int exit_code() const {
        return !running() && m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode()
                                                                            : -1;
    }
    // The signal, then the exit status; killed if it does not end.
    int stop(int number = SIGTERM) {
        if (running() && QTest::currentTestFailed()) {
            qWarning("%s, last output:\n%s", qPrintable(m_process.program()),
                     qPrintable(output().right(4000)));
        }
        signal(number);
        if (!finish()) {
            m_process.kill();
            m_process.waitForFinished(Patience);
            return -1;
        }
        return exit_code();
    }
    QProcess& process() { return m_process; }

private:
    QProcess m_process;
    QByteArray m_output;
};

// relay-board-sim on a fresh pseudo-terminal, every frame logged.
class VirtualBoard : public Process {
public:
    // Waits for the tty's path, printed once the link is there.
    bool start(const QStringList& options = {}, const QString& link = {}) {
        const QStringList where = link.isEmpty() ? QStringList() : QStringList{"--link", link};
        if (!Process::start(program("relay-board-sim"), QStringList{"--log"} + where + options) ||
            !QTest::qWaitFor([this] { return process().canReadLine() || !running(); }, Patience)) {
            return false;
        }
        m_tty = QString::fromLocal8Bit(process().readLine()).trimmed();
        return m_tty.startsWith('/');
    }
    QString tty() const { return m_tty; }
    // Every command frame heard, as "address command data1 data2"
    // ("01 12 00 03"), with the reserved bytes after it unless they are zero.
    QStringList heard() {
        static const QRegularExpression in("in  55 (..) (..) (.. ..) (.. ..) ..");
        QStringList frames;
        for (auto it = in.globalMatch(output()); it.hasNext();) {
            const auto m = it.next();
            frames << m.captured(1) + ' ' + m.captured(2) + ' ' + m.captured(4) +
                          (m.captured(3) == "00 00" ? QString() : " reserved " + m.captured(3));
        }
        return frames;
    }
    bool wait_heard(const QString& frame, int ms = Patience) {
        return QTest::qWaitFor([&] { return heard().contains(frame); }, ms);
    }

private:
    QString m_tty;
};

// relayd, from the build or a copy in a Folder (Folder::copy("relayd")).
class Relayd : public Process {
public:
    // Its state beside the program, never in the home of whoever runs the tests.
    bool start(const QStringList& options, const QString& path = program("relayd")) {
        QProcessEnvironment environment = process().processEnvironment();
        if (environment.isEmpty()) {
            environment = QProcessEnvironment::systemEnvironment();
        }
        environment.insert("XDG_STATE_HOME", QFileInfo(path).absolutePath() + "/state");
        process().setProcessEnvironment(environment);
        return !path.isEmpty() && Process::start(path, options);
    }
};

// ser2net in front of a tty, as a board on another machine is reached: a raw
// TCP line on a loopback port, the same port again after a stop.
class Ser2net : public Process {
public:
    // Foreground, a file of its own, no UUCP lock: runs the same as root or not.
    bool start(const QString& tty) {
        const QString config = QStringLiteral(
                                   "connection: &bus\n"
                                   "  accepter: tcp,127.0.0.1,%1\n"
                                   "  connector: serialdev,%2,9600n81,local\n"
                                   "  options:\n"
                                   "    kickolduser: true\n")
                                   .arg(m_port)
                                   .arg(tty);
        const QString file = m_dir.filePath("ser2net.yaml");
        return write_file(file, config.toUtf8()) &&
               Process::start("/usr/sbin/ser2net", {"-n", "-u", "-c", file}) &&
               QTest::qWaitFor([this] { return listening(m_port); }, Patience);
    }
    int port() const { return m_port; }
    QString address() const { return QStringLiteral("tcp:127.0.0.1:%1").arg(m_port); }

private:
    QTemporaryDir m_dir;
    int m_port = free_port();
};

// A program run to its end: exit status (-1 for none) and all it printed.
struct Ran {
    int exit_code = -1;
    QString output;
};
inline Ran run(const QString& path, const QStringList& arguments, int ms = Patience) {
    Process process;
    if (!process.start(path, arguments) || !process.finish(ms)) {
        return {-1, process.output()};
    }
    return {process.exit_code(), process.output()};
}

}  // namespace relay::testing
