#include "relayd/bridge_options.h"

#include "mqtt/topics.h"
#include "protocol/option_text.h"
#include "relayd/state_directory.h"
#include "schedule/schedule_entry.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QTimeZone>
#include <QUrl>

#include <algorithm>
#include <cmath>

namespace relay {

namespace {

// Long option, value name (empty: a flag). The same words are the config keys.
struct Key {
    const char* name;
    const char* value;
};

const Key Keys[] = {
    {"port", "port"},
    {"boards", "list"},
    {"scan", "from-to"},
    {"broker", "url"},
    {"cafile", "file"},
    {"certfile", "file"},
    {"keyfile", "file"},
    {"username", "name"},
    {"password-file", "file"},
    {"client-id", "id"},
    {"mqtt-version", "3.1.1|5"},
    {"base-topic", "topic"},
    {"node-id", "id"},
    {"discovery-prefix", "topic"},
    {"name-file", "path"},
    {"state-dir", "dir"},
    {"verify-timeout", "ms"},
    {"share", "path,..."},
    {"pulse", "a:c=ms,..."},
    {"momentary", "a:c,..."},
    {"interlock", "a:c+c,..."},
    {"dead-time", "a=ms,..."},
    {"http", "[addr:]port"},
    {"http-users", "file"},
    {"http-cert", "file"},
    {"http-key", "file"},
    {"add-user", "name"},
    {"role", "viewer|operator"},
    {"fail-fast", ""},
    {"schedule", "name=entry"},
    {"timezone", "zone"},
    {"location", "lat,lon"},
    {"trust-clock", ""},
    {"next-runs", "n"},
    {"history", ""},
    {"no-history", ""},
    {"history-days", "days"},
    {"history-max-mb", "mb"},
    {"ha-runtime", ""},
    {"verbose", ""},
};

bool set_broker(const QString& text, BridgeOptions& options, QString* error) {
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("mqtt") && scheme != QLatin1String("mqtts")) ||
        !url.path().isEmpty() || !url.userInfo().isEmpty()) {
        *error = QStringLiteral(
                     "broker \"%1\" is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (user "
                     "names and passwords go in --username and --password-file)")
                     .arg(url.toDisplayString(QUrl::RemoveUserInfo));
        return false;
    }
    options.mqtt.broker.tls = scheme == QLatin1String("mqtts");
    options.mqtt.broker.host = url.host();
    options.mqtt.broker.port = url.port(options.mqtt.broker.tls ? 8883 : 1883);
    return true;
}

// [ADDR:]PORT: without an address, loopback only.
bool set_http(const QString& text, BridgeOptions& options, QString* error) {
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    QString host = colon < 0 ? QString() : text.left(colon);
    const auto port = strict_decimal(text.mid(colon + 1), 1, 65535);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
        host = host.mid(1, host.size() - 2);
    }
    QHostAddress address(QHostAddress::LocalHost);
    if (host == QLatin1String("*")) {
        address = QHostAddress(QHostAddress::Any);
    } else if (!host.isEmpty() && host != QLatin1String("localhost") && !address.setAddress(host)) {
        host.clear();
    }
    if (!port || (colon >= 0 && host.isEmpty())) {
        *error = QStringLiteral(
                     "--http \"%1\": not [ADDRESS:]PORT, such as 8080, "
                     "192.168.1.20:8080, [::]:8080 or *:8080")
                     .arg(text);
        return false;
    }
    options.web.address = address;
    options.web.port = static_cast<quint16>(*port);
    return true;
}

bool read_password(const QString& path, BridgeOptions& options, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error =
            QStringLiteral("cannot read the password file %1: %2").arg(path, file.errorString());
        return false;
    }
    // The first line; a final line end is not part of the password.
    QByteArray line = file.readLine();
    while (line.endsWith('\n') || line.endsWith('\r')) {
        line.chop(1);
    }
    options.mqtt.broker.password = QString::fromUtf8(line);
    return true;
}

// NAME = TEXT of [schedule], or --schedule NAME=TEXT: a later one of a name wins.
void add_schedule_entry(const QString& name, const QString& text, BridgeOptions& options) {
    auto& entries = options.line.schedule;
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&name](const auto& entry) { return entry.first == name; }),
                  entries.end());
    entries.emplace_back(name, text.simplified());
}

bool set_location(const QString& text, BridgeOptions& options) {
    const QStringList parts = text.split(QLatin1Char(','));
    bool lat_ok = false, lon_ok = false;
    const double latitude = parts.value(0).trimmed().toDouble(&lat_ok);
    const double longitude = parts.value(1).trimmed().toDouble(&lon_ok);
    if (parts.size() != 2 || !lat_ok || !lon_ok || std::abs(latitude) > 90 ||
        std::abs(longitude) > 180) {
        return false;
    }
    options.line.location = Location{latitude, longitude};
    return true;
}

bool check_schedule(BridgeOptions& options, QString* error) {
    const LineOptions& line = options.line;
    if (!line.time_zone.isEmpty() && !QTimeZone(line.time_zone.toUtf8()).isValid()) {
        *error = QStringLiteral("--timezone \"%1\": not a time zone such as Europe/Berlin")
                     .arg(line.time_zone);
        return false;
    }
    const ScheduleContext context{line.rules, line.scan ? std::vector<std::uint8_t>() : line.boards,
                                  line.location.has_value()};
    for (const auto& [name, text] : line.schedule) {
        const ScheduleReading reading = read_schedule_entry(name, text, context);
        if (!reading.entry) {
            *error = QStringLiteral("schedule %1 = %2: %3").arg(name, text, reading.refusal);
            return false;
        }
    }
    return true;
}

bool apply(const QString& key, const QString& value, BridgeOptions& options, QString* error) {
    const auto fail = [&](const QString& why) {
        *error = QStringLiteral("--%1 \"%2\": %3").arg(key, value, why);
        return false;
    };
    if (key.startsWith(QLatin1String("schedule/"))) {
        add_schedule_entry(key.mid(9), value, options);
        return true;
    }
    if (key == QLatin1String("port")) {
        if (!is_port_text(value)) {
            return fail(
                QStringLiteral("neither a port number 0..255, a device path nor tcp:HOST:PORT"));
        }
        options.line.port_text = value;
    } else if (key == QLatin1String("boards")) {
        const auto list = address_list(value);
        if (!list || list->empty()) {
            return fail(QStringLiteral("not a list of addresses 0..255 such as 1,7,200 or 1-4"));
        }
        options.line.boards = *list;
    } else if (key == QLatin1String("scan")) {
        const auto range = address_range(value);
        if (!range) {
            return fail(QStringLiteral("not FROM-TO with 0 <= FROM <= TO <= 255"));
        }
        options.line.scan = true;
        options.line.scan_from = range->first;
        options.line.scan_to = range->second;
    } else if (key == QLatin1String("broker")) {
        return set_broker(value, options, error);
    } else if (key == QLatin1String("cafile")) {
        options.mqtt.broker.ca_file = value;
    } else if (key == QLatin1String("certfile")) {
        options.mqtt.broker.cert_file = value;
    } else if (key == QLatin1String("keyfile")) {
        options.mqtt.broker.key_file = value;
    } else if (key == QLatin1String("username")) {
        options.mqtt.broker.username = value;
    } else if (key == QLatin1String("password-file")) {
        return read_password(value, options, error);
    } else if (key == QLatin1String("client-id")) {
        options.mqtt.broker.client_id = value;
    } else if (key == QLatin1String("mqtt-version")) {
        if (value != QLatin1String("3.1.1") && value != QLatin1String("5")) {
            return fail(QStringLiteral("want 3.1.1 or 5"));
        }
        options.mqtt.broker.protocol = value == QLatin1String("5") ? 5 : 4;
    } else if (key == QLatin1String("base-topic") || key == QLatin1String("discovery-prefix")) {
        if (value.isEmpty() || value.contains(QLatin1Char('+')) ||
            value.contains(QLatin1Char('#')) || value.startsWith(QLatin1Char('/')) ||
            value.endsWith(QLatin1Char('/'))) {
            return fail(QStringLiteral("a topic without +, # or a / at either end"));
        }
        (key == QLatin1String("base-topic") ? options.mqtt.base_topic
                                            : options.mqtt.discovery_prefix) = value;
    } else if (key == QLatin1String("node-id")) {
        if (value.isEmpty() || topic_safe(value) != value) {
            return fail(QStringLiteral("only letters A-Z a-z, digits, _ and -"));
        }
        options.line.node_id = value;
    } else if (key == QLatin1String("name-file")) {
        options.line.name_directory = name_directory_of(value, error);
        return !options.line.name_directory.isEmpty();
    } else if (key == QLatin1String("state-dir")) {
        if (value.isEmpty()) {
            return fail(QStringLiteral("want a directory"));
        }
        options.line.state_directory = value;
    } else if (key == QLatin1String("verify-timeout")) {
        const auto ms = strict_decimal(value, 1, 600000);
        if (!ms) {
            return fail(QStringLiteral("not a number of milliseconds 1..600000"));
        }
        options.line.verify_timeout_ms = *ms;
    } else if (key == QLatin1String("share")) {
        options.line.share = value.split(QLatin1Char(','), Qt::SkipEmptyParts);
        if (options.line.share.isEmpty()) {
            return fail(QStringLiteral("want one or more paths for links, separated by commas"));
        }
    } else if (key == QLatin1String("pulse") || key == QLatin1String("momentary") ||
               key == QLatin1String("interlock") || key == QLatin1String("dead-time")) {
        return add_switch_rule(options.line.rules, key, value, error);
    } else if (key == QLatin1String("http")) {
        return set_http(value, options, error);
    } else if (key == QLatin1String("http-users")) {
        options.web.users = value;
    } else if (key == QLatin1String("http-cert")) {
        options.web.cert = value;
    } else if (key == QLatin1String("http-key")) {
        options.web.key = value;
    } else if (key == QLatin1String("add-user")) {
        options.add_user = value;
    } else if (key == QLatin1String("role")) {
        if (value != QLatin1String("viewer") && value != QLatin1String("operator")) {
            return fail(QStringLiteral("want viewer or operator"));
        }
        options.role = value;
    } else if (key == QLatin1String("fail-fast")) {
        options.mqtt.fail_fast = value != QLatin1String("false");
    } else if (key == QLatin1String("schedule")) {
        if (!value.contains(QLatin1Char('='))) {
            return fail(QStringLiteral("want NAME=ENTRY, such as lamp=1:3 on from 06:00 to 07:00"));
        }
        add_schedule_entry(value.section(QLatin1Char('='), 0, 0).trimmed(),
                           value.section(QLatin1Char('='), 1), options);
    } else if (key == QLatin1String("timezone")) {
        options.line.time_zone = value;
    } else if (key == QLatin1String("location")) {
        if (!set_location(value, options)) {
            return fail(QStringLiteral("want LATITUDE,LONGITUDE in degrees, such as 52.52,13.40"));
        }
    } else if (key == QLatin1String("trust-clock")) {
        options.line.trust_clock = value != QLatin1String("false");
    } else if (key == QLatin1String("next-runs")) {
        const auto count = strict_decimal(value, 1, 1000);
        if (!count) {
            return fail(QStringLiteral("a number of runs 1..1000"));
        }
        options.next_runs = *count;
    } else if (key == QLatin1String("history") || key == QLatin1String("no-history")) {
        options.history.on = (value != QLatin1String("false")) == (key == QLatin1String("history"));
    } else if (key == QLatin1String("history-days")) {
        const auto days = strict_decimal(value, 1, 3650);
        if (!days) {
            return fail(QStringLiteral("a number of days 1..3650"));
        }
        options.history.keep_days = *days;
    } else if (key == QLatin1String("history-max-mb")) {
        const auto mb = strict_decimal(value, 1, 1000000);
        if (!mb) {
            return fail(QStringLiteral("a number of megabytes 1..1000000"));
        }
        options.history.max_mb = *mb;
    } else if (key == QLatin1String("ha-runtime")) {
        options.mqtt.ha_runtime = value != QLatin1String("false");
    } else if (key == QLatin1String("verbose")) {
        options.line.verbose = value != QLatin1String("false");
    } else {
        *error = QStringLiteral("unknown key \"%1\"").arg(key);
        return false;
    }
    return true;
}

bool check_http(BridgeOptions& options, bool broker_given, QString* error) {
    if (!options.add_user.isEmpty()) {
        if (options.web.users.isEmpty()) {
            *error = QStringLiteral("--add-user needs --http-users FILE, the file to write");
            return false;
        }
        return true;
    }
    if (options.web.port == 0) {
        if (!options.web.users.isEmpty() || !options.web.cert.isEmpty() ||
            !options.web.key.isEmpty()) {
            *error = QStringLiteral("--http-users, --http-cert and --http-key go with --http");
            return false;
        }
        return true;
    }
    // The web alone needs no broker; say --broker to have both.
    options.mqtt_on = broker_given;
    if (!options.web.address.isLoopback() && options.web.users.isEmpty()) {
        *error = QStringLiteral(
                     "--http on %1 needs --http-users FILE: without users anybody who can reach "
                     "the address could switch the relays (without an address, --http PORT "
                     "listens on this host only)")
                     .arg(options.web.address.toString());
        return false;
    }
    if (options.web.cert.isEmpty() != options.web.key.isEmpty()) {
        *error = QStringLiteral("--http-cert and --http-key go together");
        return false;
    }
    return true;
}

}  // namespace

std::optional<BridgeOptions> parse_bridge_options(const QStringList& arguments,
                                                  const QString& password_from_environment,
                                                  QString* error) {
    QCommandLineParser parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption version(QStringLiteral("version"), QString());
    const QCommandLineOption config(QStringLiteral("config"), QString(), QStringLiteral("file"));
    const QCommandLineOption password(QStringLiteral("password"), QString(),
                                      QStringLiteral("secret"));
    parser.addOptions({help, version, config, password});
    for (const Key& key : Keys) {
        parser.addOption(QCommandLineOption(QString::fromLatin1(key.name), QString(),
                                            QString::fromLatin1(key.value)));
    }
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return std::nullopt;
    }
    BridgeOptions options;
    if (parser.isSet(help) || parser.isSet(version)) {
        options.help = parser.isSet(help);
        options.version = !options.help;
        return options;
    }
    if (parser.isSet(password)) {
        // Anyone on the host can read a command line (ps, /proc).
        *error = QStringLiteral(
            "a password is never given on the command line: use --password-file FILE or the "
            "environment variable RELAYD_PASSWORD");
        return std::nullopt;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments()[0]);
        return std::nullopt;
    }
    options.mqtt.broker.password = password_from_environment;
    bool broker_in_config = false;
    if (parser.isSet(config)) {
        const QString path = parser.value(config);
        const auto values = read_config_file(path, error);
        if (!values) {
            return std::nullopt;
        }
        for (const auto& [key, text] : *values) {
            const bool known =
                std::any_of(std::begin(Keys), std::end(Keys),
                            [&key = key](const Key& k) { return key == QLatin1String(k.name); });
            broker_in_config = broker_in_config || key == QLatin1String("broker");
            if ((!known || !parser.isSet(key)) && !apply(key, text, options, error)) {
                error->prepend(path + QStringLiteral(": "));
                return std::nullopt;
            }
        }
    }
    for (const Key& key : Keys) {
        const QString name = QString::fromLatin1(key.name);
        // Every --schedule counts, not only the last.
        const QStringList values = !parser.isSet(name) ? QStringList()
                                   : !*key.value       ? QStringList{QStringLiteral("true")}
                                   : name == QLatin1String("schedule")
                                       ? parser.values(name)
                                       : QStringList{parser.value(name)};
        for (const QString& value : values) {
            if (!apply(name, value, options, error)) {
                return std::nullopt;
            }
        }
    }
    if (!check_switch_rules(options.line.rules, error) || !check_schedule(options, error)) {
        return std::nullopt;
    }
    if (!check_http(options, parser.isSet(QStringLiteral("broker")) || broker_in_config, error)) {
        return std::nullopt;
    }
    if (options.mqtt.broker.cert_file.isEmpty() != options.mqtt.broker.key_file.isEmpty()) {
        *error = QStringLiteral("--certfile and --keyfile go together");
        return std::nullopt;
    }
    options.line.state_directory = StateDirectory::resolve(options.line.state_directory);
    return options;
}

}  // namespace relay
