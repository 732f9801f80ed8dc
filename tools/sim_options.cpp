#include "tools/sim_options.h"

#include <QCommandLineParser>
#include <QRegularExpression>

namespace relay {

namespace {

// A whole number in [min, max], or nothing.
std::optional<int> whole_number(const QString& text, int min, int max) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 10);
    if (!ok || value < min || value > max) {
        return std::nullopt;
    }
    return value;
}

struct CountOption {
    const char* name;
    int* field;
    int min;
    int max;
};

}  // namespace

std::optional<SimOptions> parse_sim_options(const QStringList& arguments, QString* error) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A virtual 16-channel relay board on a pseudo-terminal (or a serial device).\n"
        "Prints the path of its tty, then answers command frames like a board.\n"
        "SIGUSR1 switches silence on and off; SIGUSR2 switches channel 1 of every board\n"
        "as another master would; SIGINT or SIGTERM ends it."));
    const QCommandLineOption help_option({QStringLiteral("h"), QStringLiteral("help")},
                                         QStringLiteral("Show this help."));
    const QCommandLineOption device(QStringLiteral("device"),
                                    QStringLiteral("Use this serial device instead of a new "
                                                   "pseudo-terminal."),
                                    QStringLiteral("path"));
    const QCommandLineOption link(QStringLiteral("link"),
                                  QStringLiteral("Make a symbolic link to the tty here (e.g. "
                                                 "com1 beside the panel); removed at exit."),
                                  QStringLiteral("path"));
    const QCommandLineOption address(QStringLiteral("address"),
                                     QStringLiteral("The board's address, 0..255 (default 1)."),
                                     QStringLiteral("n"));
    const QCommandLineOption boards(
        QStringLiteral("boards"),
        QStringLiteral("Several boards on the line, by address. Only the addressed board "
                       "answers; address-service frames (0xF5) reach all, and their replies "
                       "collide."),
        QStringLiteral("a,b,..."));
    const QCommandLineOption state(
        QStringLiteral("state"),
        QStringLiteral("Initial channels as 4 hex digits, channels 16..1 (e.g. 0A5F)."),
        QStringLiteral("hex4"));
    const QCommandLineOption drop(
        QStringLiteral("drop"), QStringLiteral("Leave out every n-th reply."), QStringLiteral("n"));
    const QCommandLineOption corrupt(QStringLiteral("corrupt"),
                                     QStringLiteral("Invert the checksum of every n-th reply."),
                                     QStringLiteral("n"));
    const QCommandLineOption split(
        QStringLiteral("split"),
        QStringLiteral("Send every n-th reply in two writes (3 bytes, then the rest)."),
        QStringLiteral("n"));
    const QCommandLineOption split_gap(
        QStringLiteral("split-gap"),
        QStringLiteral("Milliseconds between the two writes of a split reply (default 20)."),
        QStringLiteral("ms"));
    const QCommandLineOption noise(QStringLiteral("noise"),
                                   QStringLiteral("Put a stray 0x00 before every n-th reply."),
                                   QStringLiteral("n"));
    const QCommandLineOption delay(QStringLiteral("delay"),
                                   QStringLiteral("Answer this many milliseconds late."),
                                   QStringLiteral("ms"));
    const QCommandLineOption line_time(
        QStringLiteral("line-time"),
        QStringLiteral("Take as long as a 9600 baud 8N1 line: about 1.04 ms for every byte "
                       "heard and sent. A reply starts only once its command has fully "
                       "arrived, and replies wait for the line to be free."));
    const QCommandLineOption turnaround(
        QStringLiteral("turnaround"),
        QStringLiteral("The board's processing time: every reply waits this many milliseconds "
                       "after its command has arrived (default 0). Adds to --delay."),
        QStringLiteral("ms"));
    const QCommandLineOption silent(QStringLiteral("silent"),
                                    QStringLiteral("Start silent: hear nothing, answer nothing."));
    const QCommandLineOption stuck(
        QStringLiteral("stuck"),
        QStringLiteral("Channels that never switch, e.g. 3,5: the board answers and reports "
                       "them unchanged."),
        QStringLiteral("n,m,..."));
    const QCommandLineOption keep_address(
        QStringLiteral("keep-address"),
        QStringLiteral("Answer write-address (0x41) from the old address and keep it, as a "
                       "board whose address memory does not take the write."));
    const QCommandLineOption log(
        QStringLiteral("log"), QStringLiteral("Print every frame in and out, with a time stamp."));
    parser.addOptions({help_option, device, link, address, boards, state, drop, corrupt, split,
                       split_gap, noise, delay, line_time, turnaround, silent, stuck, keep_address,
                       log});

    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return std::nullopt;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *error =
            QStringLiteral("Unexpected argument: %1").arg(parser.positionalArguments().front());
        return std::nullopt;
    }

    SimOptions options;
    if (parser.isSet(help_option)) {
        options.help = true;
        options.help_text = parser.helpText();
        return options;
    }
    options.device = parser.value(device);
    options.link = parser.value(link);
    options.log = parser.isSet(log);
    options.faults.silent = parser.isSet(silent);
    options.line_time = parser.isSet(line_time);
    options.keep_address = parser.isSet(keep_address);

    if (parser.isSet(address) && parser.isSet(boards)) {
        *error = QStringLiteral("Give either --address or --boards, not both.");
        return std::nullopt;
    }
    if (parser.isSet(address)) {
        const auto value = whole_number(parser.value(address), 0, 255);
        if (!value) {
            *error =
                QStringLiteral("--address wants 0..255, not \"%1\".").arg(parser.value(address));
            return std::nullopt;
        }
        options.addresses = {static_cast<std::uint8_t>(*value)};
    }
    if (parser.isSet(boards)) {
        options.addresses.clear();
        for (const QString& part : parser.value(boards).split(QLatin1Char(','))) {
            const auto value = whole_number(part, 0, 255);
            if (!value) {
                *error = QStringLiteral(
                             "--boards wants addresses 0..255 separated by commas, "
                             "not \"%1\".")
                             .arg(parser.value(boards));
                return std::nullopt;
            }
            options.addresses.push_back(static_cast<std::uint8_t>(*value));
        }
    }
    if (parser.isSet(state)) {
        static const QRegularExpression hex4(QStringLiteral("^[0-9A-Fa-f]{4}$"));
        const QString text = parser.value(state);
        if (!hex4.match(text).hasMatch()) {
            *error =
                QStringLiteral("--state wants 4 hex digits such as 0A5F, not \"%1\".").arg(text);
            return std::nullopt;
        }
        options.channels = static_cast<std::uint16_t>(text.toUInt(nullptr, 16));
    }
    if (parser.isSet(stuck)) {
        for (const QString& part : parser.value(stuck).split(QLatin1Char(','))) {
            const auto value = whole_number(part, 1, ChannelCount);
            if (!value) {
                *error = QStringLiteral(
                             "--stuck wants channels 1..16 separated by commas, "
                             "not \"%1\".")
                             .arg(parser.value(stuck));
                return std::nullopt;
            }
            options.stuck = static_cast<std::uint16_t>(options.stuck | (1u << (*value - 1)));
        }
    }

    const CountOption counts[] = {
        {"drop", &options.faults.drop_every, 1, 1000000},
        {"corrupt", &options.faults.corrupt_every, 1, 1000000},
        {"split", &options.faults.split_every, 1, 1000000},
        {"noise", &options.faults.noise_every, 1, 1000000},
        {"split-gap", &options.faults.split_gap_ms, 0, 60000},
        {"delay", &options.faults.delay_ms, 0, 60000},
        {"turnaround", &options.turnaround_ms, 0, 60000},
    };
    for (const CountOption& count : counts) {
        const QString name = QString::fromLatin1(count.name);
        if (!parser.isSet(name)) {
            continue;
        }
        const auto value = whole_number(parser.value(name), count.min, count.max);
        if (!value) {
            *error = QStringLiteral("--%1 wants a whole number %2..%3, not \"%4\".")
                         .arg(name)
                         .arg(count.min)
                         .arg(count.max)
                         .arg(parser.value(name));
            return std::nullopt;
        }
        *count.field = *value;
    }
    return options;
}

}  // namespace relay
