#include "serial/board_terminal.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace relay {

namespace {

QString system_error(const char* what) {
    return QStringLiteral("%1: %2").arg(QString::fromLatin1(what),
                                        QString::fromLocal8Bit(std::strerror(errno)));
}

// No echo, no line editing, no translation: an echo would send the board's
// replies straight back to it.
bool make_raw(int fd) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        return false;
    }
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD | CS8;
    // With VMIN 0 an empty non-blocking read returns 0, the same as a hangup.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, B9600);
    ::cfsetospeed(&tio, B9600);
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

bool make_non_blocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

BoardTerminal::~BoardTerminal() {
    close();
}

bool BoardTerminal::open_pty(QString* error) {
    close();
    m_fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (m_fd < 0 || ::grantpt(m_fd) != 0 || ::unlockpt(m_fd) != 0 ||
        ::ptsname_r(m_fd, name, sizeof name) != 0) {
        *error = system_error("cannot create a pseudo-terminal");
        close();
        return false;
    }
    m_slave_fd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave_fd < 0 || !make_raw(m_slave_fd) || !make_non_blocking(m_fd)) {
        *error = system_error("cannot set up the pseudo-terminal");
        close();
        return false;
    }
    m_tty_path = QString::fromLocal8Bit(name);
    // Told of every close of the tty by another program, even by its death.
    m_close_watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_close_watch >= 0 &&
        ::inotify_add_watch(m_close_watch, name, IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        ::close(m_close_watch);
        m_close_watch = -1;
    }
    return true;
}

void BoardTerminal::release_exclusive() {
    char events[1024];
    while (m_close_watch >= 0 && ::read(m_close_watch, events, sizeof events) > 0) {
    }
    // Whoever set exclusive mode has closed the tty or died; an orderly close
    // clears the mode itself, a killed program leaves it set, and every later
    // opener but root would then be refused.
    if (m_slave_fd >= 0) {
        ::ioctl(m_slave_fd, TIOCNXCL);
    }
}

bool BoardTerminal::open_device(const QString& path, QString* error) {
    close();
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0 || !make_raw(m_fd)) {
        *error = system_error(qPrintable(QStringLiteral("cannot open %1").arg(path)));
        close();
        return false;
    }
    m_tty_path = path;
    return true;
}

void BoardTerminal::close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_slave_fd >= 0) {
        ::close(m_slave_fd);
        m_slave_fd = -1;
    }
    if (m_close_watch >= 0) {
        ::close(m_close_watch);
        m_close_watch = -1;
    }
    m_tty_path.clear();
}

QByteArray BoardTerminal::read_available(bool* hung_up) {
    QByteArray bytes;
    char chunk[256];
    bool gone = m_fd < 0;
    while (m_fd >= 0) {
        const ssize_t got = ::read(m_fd, chunk, sizeof chunk);
        if (got > 0) {
            bytes.append(chunk, got);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            gone = got == 0 || errno != EAGAIN;
            break;
        }
    }
    if (hung_up) {
        *hung_up = gone;
    }
    return bytes;
}

bool BoardTerminal::write(const QByteArray& bytes) {
    qsizetype done = 0;
    while (m_fd >= 0 && done < bytes.size()) {
        const ssize_t put =
            ::write(m_fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (put > 0) {
            done += put;
        } else if (put < 0 && errno == EINTR) {
            continue;
        } else {
            // A full queue means nobody reads the line; the bytes are lost as on a wire.
            return false;
        }
    }
    return done == bytes.size();
}

int BoardTerminal::unread_by_panel() const {
    int queued = 0;
    if (m_slave_fd < 0 || ::ioctl(m_slave_fd, TIOCINQ, &queued) != 0) {
        return 0;
    }
    return queued;
}

}  // namespace relay
