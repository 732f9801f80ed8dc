#pragma once

#include "history/history_options.h"
#include "mqtt/mqtt_options.h"
#include "protocol/option_text.h"
#include "relayd/line_options.h"
#include "web/web_options.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace relay {

// One relayd run, checked: the line and each adapter's part.
struct BridgeOptions {
    LineOptions line;
    MqttOptions mqtt;
    bool mqtt_on = true;  // off when --http is given without --broker
    WebOptions web;
    HistoryOptions history;
    // relayd --add-user NAME: asks for the password, writes the users file, exits.
    QString add_user;
    QString role = QStringLiteral("viewer");
    int next_runs = 0;  // relayd --next-runs N: prints each entry's next N runs, exits
    bool help = false;
    bool version = false;
};

// Options win over the --config file's keys. The password comes from
// --password-file or RELAYD_PASSWORD, never from the command line. The state
// directory comes resolved; the node id stays empty unless given, for it is
// kept in that directory (node_id.h).
std::optional<BridgeOptions> parse_bridge_options(const QStringList& arguments,
                                                  const QString& password_from_environment,
                                                  QString* error);

QString bridge_usage_text();

}  // namespace relay
