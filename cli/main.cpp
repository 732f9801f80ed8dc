#include "cli/cli_options.h"
#include "cli/cli_output.h"
#include "cli/relay_cli.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("relayctl"));

    QString error;
    const auto options = relay::parse_cli_options(QCoreApplication::arguments(), &error);
    if (!options) {
        relay::print_error(error + QStringLiteral(" (relayctl --help shows the usage)"));
        return relay::exit_code::Usage;
    }
    if (options->help) {
        std::fputs(relay::cli_usage_text().toLocal8Bit().constData(), stdout);
        return relay::exit_code::Ok;
    }
    // comN links and name.txt live beside the program, as for the panel.
    return relay::RelayCli(*options, QCoreApplication::applicationDirPath()).run();
}
