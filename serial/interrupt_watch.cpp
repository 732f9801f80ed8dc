#include "serial/interrupt_watch.h"

#include <QSocketNotifier>

#include <csignal>

#include <sys/socket.h>
#include <unistd.h>

namespace relay {

namespace {

// A handler may only write to a descriptor; the loop reads the other end.
int g_wake[2] = {-1, -1};

void wake_loop(int number) {
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const ssize_t ignored = ::write(g_wake[1], &byte, 1);
}

}  // namespace

InterruptWatch::InterruptWatch(QObject* parent) : QObject(parent) {}

InterruptWatch::~InterruptWatch() {
    if (m_notifier) {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
    }
}

bool InterruptWatch::start() {
    if (g_wake[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_wake) != 0) {
        return false;
    }
    struct sigaction action {};
    action.sa_handler = wake_loop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    m_notifier = new QSocketNotifier(g_wake[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &InterruptWatch::on_readable);
    return true;
}

void InterruptWatch::on_readable() {
    char number = 0;
    if (::read(g_wake[0], &number, 1) == 1) {
        Q_EMIT interrupted(number);
    }
}

}  // namespace relay
