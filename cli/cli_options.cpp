#include "cli/cli_options.h"

#include "protocol/frame.h"
#include "protocol/option_text.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace relay {

namespace {

std::optional<int> decimal(const QString& text, int min, int max) {
    return strict_decimal(text, min, max);
}

struct CommandWord {
    const char* word;
    CliCommand command;
    int min_arguments;
    int max_arguments;  // -1: any number
};

const CommandWord Commands[] = {
    {"status", CliCommand::Status, 0, 0},
    {"on", CliCommand::On, 1, -1},
    {"off", CliCommand::Off, 1, -1},
    {"toggle", CliCommand::Toggle, 1, -1},
    {"pulse", CliCommand::Pulse, 2, 2},
    {"all", CliCommand::AllOn, 1, 1},
    {"read-address", CliCommand::ReadAddress, 0, 0},
    {"write-address", CliCommand::WriteAddress, 1, 1},
    {"scan", CliCommand::Scan, 0, 1},
    {"watch", CliCommand::Watch, 0, 0},
    {"names", CliCommand::Names, 0, 0},
    {"rename", CliCommand::Rename, 2, 2},
    {"ports", CliCommand::Ports, 0, 0},
};

bool parse_channels(const QStringList& words, CliOptions& options, QString* error) {
    for (const QString& word : words) {
        const auto channel = decimal(word, 1, ChannelCount);
        if (!channel) {
            *error = QStringLiteral("channel \"%1\" is not a number from 1 to 16").arg(word);
            return false;
        }
        if (std::find(options.channels.begin(), options.channels.end(), *channel) ==
            options.channels.end()) {
            options.channels.push_back(*channel);
        }
    }
    return true;
}

bool parse_scan_range(const QString& text, CliOptions& options, QString* error) {
    const auto range = address_range(text);
    if (!range) {
        *error = QStringLiteral("scan range \"%1\" is not FROM-TO with 0 <= FROM <= TO <= 255")
                     .arg(text);
        return false;
    }
    options.scan_from = range->first;
    options.scan_to = range->second;
    return true;
}

bool parse_command(const QStringList& words, CliOptions& options, QString* error) {
    const QString word = words.value(0, QStringLiteral("status"));
    const auto found = std::find_if(std::begin(Commands), std::end(Commands),
                                    [&](const CommandWord& c) { return word == c.word; });
    if (found == std::end(Commands)) {
        *error = QStringLiteral("unknown command \"%1\"").arg(word);
        return false;
    }
    options.command = found->command;
    const QStringList rest = words.mid(1);
    if (rest.size() < found->min_arguments ||
        (found->max_arguments >= 0 && rest.size() > found->max_arguments)) {
        *error = rest.size() < found->min_arguments
                     ? QStringLiteral("%1: missing argument").arg(word)
                     : QStringLiteral("%1: unexpected argument \"%2\"")
                           .arg(word, rest.value(found->max_arguments));
        return false;
    }
    switch (options.command) {
        case CliCommand::On:
        case CliCommand::Off:
        case CliCommand::Toggle:
            return parse_channels(rest, options, error);
        case CliCommand::AllOn:
            if (rest.front() == QLatin1String("off")) {
                options.command = CliCommand::AllOff;
            } else if (rest.front() != QLatin1String("on")) {
                *error =
                    QStringLiteral("all: want \"on\" or \"off\", not \"%1\"").arg(rest.front());
                return false;
            }
            return true;
        case CliCommand::WriteAddress:
            if (const auto address = decimal(rest.front(), 0, 255)) {
                options.new_address = static_cast<std::uint8_t>(*address);
                return true;
            }
            *error =
                QStringLiteral("address \"%1\" is not a number from 0 to 255").arg(rest.front());
            return false;
        case CliCommand::Scan:
            return rest.isEmpty() || parse_scan_range(rest.front(), options, error);
        case CliCommand::Pulse: {
            const auto ms = decimal(rest.back(), MinPulseMs, MaxPulseMs);
            if (!ms) {
                *error = QStringLiteral(
                             "pulse length \"%1\" is not a number of milliseconds "
                             "from %2 to %3 (24 h)")
                             .arg(rest.back())
                             .arg(MinPulseMs)
                             .arg(MaxPulseMs);
                return false;
            }
            options.pulse_ms = *ms;
            return parse_channels(rest.mid(0, 1), options, error);
        }
        case CliCommand::Rename: {
            const auto channel = decimal(rest.front(), 1, ChannelCount);
            if (!channel) {
                *error =
                    QStringLiteral("channel \"%1\" is not a number from 1 to 16").arg(rest.front());
                return false;
            }
            options.channels = {*channel};
            options.new_name = rest.back();
            return true;
        }
        default:
            return true;
    }
}

// The switching rules of relayd's config file; its other keys are relayd's.
bool read_rules(const QString& path, CliOptions& options, QString* error) {
    const auto values = read_config_file(path, error);
    if (!values) {
        return false;
    }
    for (const auto& [key, text] : *values) {
        const bool rule = key == QLatin1String("pulse") || key == QLatin1String("momentary") ||
                          key == QLatin1String("interlock") || key == QLatin1String("dead-time");
        if (rule && !add_switch_rule(options.rules, key, text, error)) {
            error->prepend(path + QStringLiteral(": "));
            return false;
        }
    }
    return check_switch_rules(options.rules, error);
}

}  // namespace

std::optional<CliOptions> parse_cli_options(const QStringList& arguments, QString* error) {
    QCommandLineParser parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption version(QStringLiteral("version"), QString());
    const QCommandLineOption port({QStringLiteral("p"), QStringLiteral("port")}, QString(),
                                  QStringLiteral("port"));
    const QCommandLineOption address({QStringLiteral("a"), QStringLiteral("address")}, QString(),
                                     QStringLiteral("address"));
    const QCommandLineOption json(QStringLiteral("json"), QString());
    const QCommandLineOption timeout(QStringLiteral("timeout"), QString(), QStringLiteral("ms"));
    const QCommandLineOption no_verify(QStringLiteral("no-verify"), QString());
    const QCommandLineOption name_file(QStringLiteral("name-file"), QString(),
                                       QStringLiteral("path"));
    const QCommandLineOption config(QStringLiteral("config"), QString(), QStringLiteral("file"));
    parser.addOptions({help, version, port, address, json, timeout, no_verify, name_file, config});
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return std::nullopt;
    }
    CliOptions options;
    if (parser.isSet(help) || parser.isSet(version)) {
        options.help = parser.isSet(help);
        options.version = !options.help;
        return options;
    }
    options.json = parser.isSet(json);
    options.verify = !parser.isSet(no_verify);
    if (parser.isSet(port)) {
        options.port_text = parser.value(port);
        if (!is_port_text(options.port_text)) {
            *error = QStringLiteral(
                         "port \"%1\" is neither a number from 0 to 255, a device path nor "
                         "tcp:HOST:PORT")
                         .arg(options.port_text);
            return std::nullopt;
        }
    }
    if (parser.isSet(address)) {
        const auto value = decimal(parser.value(address), 0, 255);
        if (!value) {
            *error = QStringLiteral("address \"%1\" is not a number from 0 to 255")
                         .arg(parser.value(address));
            return std::nullopt;
        }
        options.address = static_cast<std::uint8_t>(*value);
    }
    if (parser.isSet(timeout)) {
        const auto value = decimal(parser.value(timeout), 1, 600000);
        if (!value) {
            *error = QStringLiteral(
                         "timeout \"%1\" is not a number of milliseconds from 1 to "
                         "600000")
                         .arg(parser.value(timeout));
            return std::nullopt;
        }
        options.timeout_ms = *value;
    }
    if (parser.isSet(name_file)) {
        options.name_directory = name_directory_of(parser.value(name_file), error);
        if (options.name_directory.isEmpty()) {
            return std::nullopt;
        }
    }
    if (parser.isSet(config) && !read_rules(parser.value(config), options, error)) {
        return std::nullopt;
    }
    if (!parse_command(parser.positionalArguments(), options, error)) {
        return std::nullopt;
    }
    return options;
}

QString cli_usage_text() {
    return QStringLiteral(R"(NAME
    relayctl - switch and read a 16-channel serial relay board from a shell

SYNOPSIS
    relayctl [OPTIONS] COMMAND [ARGUMENTS]

COMMANDS
    status              one status query; the 16 channels with their names (default)
    on N...             energise channels N (1..16), one command after another, then
    off N...            release      read status until every channel is shown in
    toggle N...         invert       the wanted state or --timeout passes
    all on | all off    every channel at once, verified the same way
    pulse N MS          energise channel N for MS milliseconds (50 to 86400000),
                        then release it; exits when the release is verified.
                        Ctrl+C releases it at once
    read-address        ask the single board on the line for its address (0xF5)
    write-address A     give it address A (0..255); verified by a status query to A
    scan [FROM-TO]      one status query per address (default 0-255); lists the
                        boards that answer. Progress on stderr when it is a terminal
    watch               poll every 200 ms; a line per change, "silent" after 5 ticks
                        without a reply, "back" when replies resume; Ctrl+C ends it
    names               the 16 names of the address from name.txt
    rename N TEXT       store TEXT as the name of channel N of the address
    ports               the port numbers and the devices they mean now

OPTIONS
    -p, --port PORT     port number as in the panel (default 1): comN beside the
                        program, else the N-th serial port listed (USB adapters
                        first); or a device path such as /dev/ttyUSB0; or
                        tcp:HOST:PORT, a raw TCP line such as ser2net gives
    -a, --address A     the board's address, 0..255 (default 1)
    --json              one JSON document; for watch one JSON line per event
    --timeout MS        verification and reply timeout (default 1000); for scan
                        the wait per address (default 50)
    --no-verify         send and do not wait for the board to confirm
    --name-file PATH    name.txt (or its directory) to use instead of the
                        panel's: beside the program, or where that cannot be
                        written $XDG_DATA_HOME/relay-panel/name.txt
                        (~/.local/share/relay-panel/name.txt)
    --config FILE       the switching rules of relayd's config file (pulse,
                        momentary, interlock, dead-time) for the line relayctl
                        owns: an interlocked channel is energised only after the
                        rest of its group is shown released
    --version           the version
    -h, --help          this text

The line runs at 9600 baud, 8 data bits, no parity, 1 stop bit.

EXIT STATUS
    0   done (and verified)
    2   usage error, or refused by a switching rule: nothing was sent
    3   the port cannot be opened, or its device went away
    4   no valid reply from the board (scan: no board answered)
    5   the board answered but a channel (or the address) did not take the
        wanted state in time
    6   name.txt cannot be read, or the name was refused
    130 scan or pulse interrupted
)");
}

}  // namespace relay
