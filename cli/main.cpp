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
    if (options->help || options->version) {
        std::fputs(options->help ? relay::cli_usage_text().toLocal8Bit().constData()
                                 : "relayctl " RELAY_VERSION "\n",
                   stdout);
        return relay::exit_code::Ok;
    }
    // comN links live beside the program, as for the panel; name.txt too
    // unless that folder cannot be written.
    return relay::RelayCli(*options, QCoreApplication::applicationDirPath()).run();
}
