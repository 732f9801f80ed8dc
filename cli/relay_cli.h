#pragma once

#include "cli/cli_options.h"
#include "cli/relay_session.h"
#include "serial/port_resolver.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace relay {

// One relayctl invocation: opens what the command needs, runs it, prints the
// outcome, and gives the exit code.
class RelayCli {
public:
    RelayCli(CliOptions options, QString program_directory);

    int run();

private:
    int run_on_line();
    int report(const RelaySession& session, const QString& device);
    int show_names();
    int rename_channel();
    int list_ports();
    QString name_directory() const;
    // The names of the address; empty when there is no name.txt.
    QStringList names_of(std::uint8_t address);
    QJsonObject port_json(const QString& device) const;
    QString port_text(const QString& device) const;

    CliOptions m_options;
    QString m_program_directory;
};

}  // namespace relay
