#include "tools/board_simulator.h"
#include "tools/sim_options.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// Signals arrive on this pipe so that they are handled in the event loop.
int g_signal_pipe[2] = {-1, -1};

void on_signal(int number) {
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const ssize_t ignored = ::write(g_signal_pipe[1], &byte, 1);
}

bool catch_signals() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signal_pipe) != 0) {
        return false;
    }
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) {
        ::sigaction(number, &action, nullptr);
    }
    return true;
}

void fail(const QString& text) {
    std::fprintf(stderr, "relay-board-sim: %s\n", text.toLocal8Bit().constData());
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("relay-board-sim"));

    QString error;
    const auto options = relay::parse_sim_options(QCoreApplication::arguments(), &error);
    if (!options) {
        fail(error + QStringLiteral(" (--help lists the options)"));
        return 2;
    }
    if (options->help) {
        std::fputs(options->help_text.toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (!catch_signals()) {
        fail(QStringLiteral("cannot catch signals"));
        return 1;
    }

    relay::BoardSimulator simulator(*options);
    if (!simulator.start(&error)) {
        fail(error);
        return 1;
    }
    // The first line of output is the tty, for scripts to pick up.
    std::printf("%s\n", simulator.tty_path().toLocal8Bit().constData());
    std::fflush(stdout);

    int exit_code = 0;
    QSocketNotifier signal_watch(g_signal_pipe[0], QSocketNotifier::Read);
    QObject::connect(&signal_watch, &QSocketNotifier::activated, &simulator, [&simulator] {
        char number = 0;
        if (::read(g_signal_pipe[0], &number, 1) != 1) {
            return;
        }
        if (number == SIGUSR1) {
            simulator.toggle_silence();
        } else if (number == SIGUSR2) {
            simulator.toggle_channel_one();
        } else {
            QCoreApplication::quit();
        }
    });
    QObject::connect(&simulator, &relay::BoardSimulator::line_lost, &simulator,
                     [&exit_code](const QString& message) {
                         fail(message);
                         exit_code = 1;
                         QCoreApplication::quit();
                     });
    const int loop_code = app.exec();
    return exit_code != 0 ? exit_code : loop_code;
}
