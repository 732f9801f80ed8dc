#pragma once

#include "bridge/mqtt_client.h"
#include "controller/switch_rules.h"
#include "protocol/option_text.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

namespace relay {

// One relayd run, checked: the line, the boards, the broker and the topics.
struct BridgeOptions {
    QString port_text = QStringLiteral("1");
    std::vector<std::uint8_t> boards{1};
    bool scan = false;  // look for the boards at start, in scan_from..scan_to
    int scan_from = 0;
    int scan_to = 255;
    MqttSettings mqtt;
    QString base_topic = QStringLiteral("relay");
    QString node_id;  // empty: from the host and the port
    QString discovery_prefix = QStringLiteral("homeassistant");
    QString name_directory;  // empty: beside the program
    int verify_timeout_ms = 1000;
    QStringList share;    // links to shared ports for other programs
    SwitchRules rules;    // pulses, momentary channels, interlocks
    bool mqtt_on = true;  // off when --http is given without --broker
    // The web page and API; port 0: none.
    QHostAddress http_address = QHostAddress(QHostAddress::LocalHost);
    quint16 http_port = 0;
    QString http_users;  // the users file; without it, loopback only
    QString http_cert;
    QString http_key;
    // relayd --add-user NAME: asks for the password, writes the users file, exits.
    QString add_user;
    QString role = QStringLiteral("viewer");
    bool fail_fast = false;  // exit when the broker cannot be reached or refuses
    bool verbose = false;
    bool help = false;
};

// Options win over the --config file's keys. The password comes from
// --password-file or RELAYD_PASSWORD, never from the command line.
std::optional<BridgeOptions> parse_bridge_options(const QStringList& arguments,
                                                  const QString& password_from_environment,
                                                  QString* error);

// Stable across restarts and distinct for two adapters on one host.
QString default_node_id(const QString& host, const QString& port_text);

QString bridge_usage_text();

}  // namespace relay
