#include "serial/qt_serial_port.h"
#include "support/processes.h"
#include "support/table.h"

#include <QtTest>

#include <optional>
#include <vector>

#include <fcntl.h>
#include <termios.h>

using namespace relay;
using namespace relay::testing;

namespace {

const char* const LogVariable = "RELAY_TERMIOS_LOG";

struct Flag {
    tcflag_t termios::*field;
    tcflag_t bit;
    const char* name;
};

// Everything a 9600 8N1 raw line without flow control must leave off.
const Flag MustBeOff[] = {
    {&termios::c_cflag, PARENB, "PARENB"},   {&termios::c_cflag, CSTOPB, "CSTOPB"},
    {&termios::c_cflag, CRTSCTS, "CRTSCTS"}, {&termios::c_iflag, IXON, "IXON"},
    {&termios::c_iflag, IXOFF, "IXOFF"},     {&termios::c_iflag, IXANY, "IXANY"},
    {&termios::c_lflag, ECHO, "ECHO"},       {&termios::c_lflag, ECHONL, "ECHONL"},
    {&termios::c_lflag, ICANON, "ICANON"},   {&termios::c_lflag, ISIG, "ISIG"},
    {&termios::c_lflag, IEXTEN, "IEXTEN"},   {&termios::c_oflag, OPOST, "OPOST"},
    {&termios::c_iflag, ICRNL, "ICRNL"},     {&termios::c_iflag, INLCR, "INLCR"},
    {&termios::c_iflag, IGNCR, "IGNCR"},     {&termios::c_iflag, ISTRIP, "ISTRIP"},
};

// The names of the settings that are not as the board needs them.
QStringList wrong_settings(const termios& tio) {
    QStringList wrong;
    if (::cfgetispeed(&tio) != B9600) {
        wrong << "input speed";
    }
    if (::cfgetospeed(&tio) != B9600) {
        wrong << "output speed";
    }
    if ((tio.c_cflag & CSIZE) != CS8) {
        wrong << "CS8";
    }
    for (const Flag& flag : MustBeOff) {
        if ((tio.*flag.field & flag.bit) != 0) {
            wrong << flag.name;
        }
    }
    return wrong;
}

// The opposite of every setting above.
termios all_wrong(termios tio) {
    for (const Flag& flag : MustBeOff) {
        tio.*flag.field |= flag.bit;
    }
    tio.c_cflag = (tio.c_cflag & ~CSIZE) | CS7;
    ::cfsetispeed(&tio, B19200);
    ::cfsetospeed(&tio, B19200);
    return tio;
}

// The settings asked for on the device, in order, from termios_log's lines.
std::vector<termios> requests(const QString& log_path, const QString& device) {
    QFile log(log_path);
    std::vector<termios> asked;
    if (!log.open(QIODevice::ReadOnly)) {
        return asked;
    }
    while (!log.atEnd()) {
        const QStringList f = QString(log.readLine()).split(' ', Qt::SkipEmptyParts);
        if (f.size() == 7 && f[0] == device) {
            termios tio{};
            tio.c_iflag = f[1].toUInt(nullptr, 16);
            tio.c_oflag = f[2].toUInt(nullptr, 16);
            tio.c_cflag = f[3].toUInt(nullptr, 16);
            tio.c_lflag = f[4].toUInt(nullptr, 16);
            ::cfsetispeed(&tio, f[5].toUInt(nullptr, 16));
            ::cfsetospeed(&tio, f[6].toUInt(nullptr, 16));
            asked.push_back(tio);
        }
    }
    return asked;
}

// A virtual board behind a com1 link, and our own descriptor on its tty.
struct Line {
    Folder dir{false};
    VirtualBoard board;
    QString log_path = dir.path("termios.log");
    int fd = -1;

    bool start() {
        fd = board.start({}, dir.path("com1")) ? ::open(QFile::encodeName(board.tty()).constData(),
                                                        O_RDWR | O_NOCTTY | O_NONBLOCK)
                                               : -1;
        return fd >= 0;
    }
    ~Line() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    std::optional<termios> settings() const {
        termios tio{};
        return ::tcgetattr(fd, &tio) == 0 ? std::optional<termios>(tio) : std::nullopt;
    }
};

}  // namespace

class TestLineSettings : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void portsSetTheLineWhateverItWasBefore_data() {
        QTest::addColumn<QString>("program");  // empty: the panel's port in this process
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("stop");  // the signal that ends it
        row("panel: port number through com1", QString(), QStringList(), 0);
        row("relayctl watch", program("relayctl"),
            QStringList{"-p", "%TTY%", "--name-file", "%DIR%", "watch"}, int(SIGINT));
        row("relayd without a broker", program("relayd"),
            QStringList{"--port", "%TTY%", "--boards", "1", "--broker", "mqtt://127.0.0.1:1",
                        "--name-file", "%DIR%", "--node-id", "t"},
            int(SIGTERM));
    }
    void portsSetTheLineWhateverItWasBefore() {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(int, stop);
        Line line;
        QVERIFY(line.start());
        const termios wrong = all_wrong(line.settings().value());
        QCOMPARE(::tcsetattr(line.fd, TCSANOW, &wrong), 0);
        // The kernel keeps a pseudo-terminal at CS8 without parity; the rest must stick.
        QStringList must_stick = wrong_settings(wrong);
        must_stick.removeAll("CS8");
        must_stick.removeAll("PARENB");
        const QStringList planted = wrong_settings(line.settings().value());
        for (const QString& name : must_stick) {
            QVERIFY2(planted.contains(name), qPrintable(name));
        }

        QtSerialPort port;
        Process opener;
        if (program.isEmpty()) {
            port.set_link_directory(line.dir.path());
            qputenv(LogVariable, QFile::encodeName(line.log_path));
            const bool opened = port.open("1");
            qunsetenv(LogVariable);
            QVERIFY2(opened, qPrintable(port.error_text()));
        } else {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert("LD_PRELOAD", TERMIOS_LOG_LIBRARY);
            environment.insert(LogVariable, line.log_path);
            // A sanitised build would refuse the preloaded library ahead of its runtime.
            const QString asan = environment.value("ASAN_OPTIONS");
            environment.insert("ASAN_OPTIONS",
                               asan + (asan.isEmpty() ? "" : ":") + "verify_asan_link_order=0");
            opener.process().setProcessEnvironment(environment);
            QVERIFY(opener.start(program, arguments.replaceInStrings("%TTY%", line.board.tty())
                                              .replaceInStrings("%DIR%", line.dir.path())));
            // A program writes only once its port is set up.
            QVERIFY2(line.board.wait_heard("01 10 00 00"), qPrintable(opener.output()));
        }

        // What the terminal holds, and what was asked of it.
        QCOMPARE(wrong_settings(line.settings().value()), QStringList());
        const std::vector<termios> asked = requests(line.log_path, line.board.tty());
        QVERIFY2(!asked.empty(), "no tcsetattr on the tty was noted");
        QCOMPARE(wrong_settings(asked.back()), QStringList());
        // The tty reads back CS8 without parity whatever it was told, so a later
        // read-modify-write hides an earlier wrong request for them.
        for (const termios& tio : asked) {
            const QStringList wrong = wrong_settings(tio);
            QVERIFY2(!wrong.contains("CS8") && !wrong.contains("PARENB"),
                     qPrintable(wrong.join(' ')));
        }

        if (!program.isEmpty()) {
            QCOMPARE(opener.stop(stop), 0);
        }
    }
};

QTEST_GUILESS_MAIN(TestLineSettings)
#include "test_line_settings.moc"
