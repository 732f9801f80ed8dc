#include "relayd/add_user.h"

#include "web/web_users.h"

#include <cstdio>
#include <string>

#include <termios.h>
#include <unistd.h>

namespace relay {

namespace {

// One line of standard input; on a terminal the typing is not shown.
QByteArray read_secret(const char* prompt) {
    const bool terminal = ::isatty(STDIN_FILENO) != 0;
    termios saved{};
    if (terminal) {
        std::fputs(prompt, stderr);
        std::fflush(stderr);
        ::tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar()) {
        line.push_back(static_cast<char>(c));
    }
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputs("\n", stderr);
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return QByteArray::fromStdString(line);
}

int fail(const QString& why) {
    std::fprintf(stderr, "relayd: %s\n", why.toLocal8Bit().constData());
    return exit_code::Usage;
}

}  // namespace

int add_web_user(const BridgeOptions& options) {
    const QByteArray password = read_secret("Password: ");
    if (password.size() < 8) {
        return fail(QStringLiteral("a password has at least 8 characters; nothing written"));
    }
    if (::isatty(STDIN_FILENO) && read_secret("Again: ") != password) {
        return fail(QStringLiteral("the two passwords differ; nothing written"));
    }
    const auto role = role_of(options.role);
    QString error;
    if (!role ||
        !WebUsers::add_user(options.web.users, options.add_user, *role, password, &error)) {
        return fail(error);
    }
    std::fprintf(stderr, "relayd: user %s (%s) written to %s\n",
                 options.add_user.toLocal8Bit().constData(), options.role.toLocal8Bit().constData(),
                 options.web.users.toLocal8Bit().constData());
    return exit_code::Ok;
}

}  // namespace relay
