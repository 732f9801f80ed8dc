#include "history/history_recorder.h"
#include "mqtt/mqtt_adapter.h"
#include "relayd/add_user.h"
#include "relayd/bridge_options.h"
#include "relayd/log_line.h"
#include "relayd/next_runs.h"
#include "relayd/node_id.h"
#include "relayd/relay_bridge.h"
#include "serial/interrupt_watch.h"
#include "web/web_server.h"

#include <QCoreApplication>
#include <QSysInfo>

#include <cstdio>
#include <memory>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("relayd"));

    QString error;
    auto options = relay::parse_bridge_options(QCoreApplication::arguments(),
                                               qEnvironmentVariable("RELAYD_PASSWORD"), &error);
    if (!options) {
        std::fprintf(stderr, "relayd: %s (relayd --help shows the usage)\n",
                     error.toLocal8Bit().constData());
        return relay::exit_code::Usage;
    }
    if (options->help || options->version) {
        std::fputs(options->help ? relay::bridge_usage_text().toLocal8Bit().constData()
                                 : "relayd " RELAY_VERSION "\n",
                   stdout);
        return relay::exit_code::Ok;
    }
    if (!options->add_user.isEmpty()) {
        return relay::add_web_user(*options);
    }
    if (options->next_runs > 0) {
        return relay::print_next_runs(*options);
    }
    // comN links live beside the program, as for the panel.
    const QString program_directory = QCoreApplication::applicationDirPath();
    relay::LineOptions& line = options->line;
    relay::log_line(QStringLiteral("state in %1").arg(line.state_directory));
    if (line.node_id.isEmpty()) {
        QString note;
        line.node_id = relay::kept_node_id(relay::StateDirectory(line.state_directory),
                                           relay::line_identity(line.port_text, program_directory),
                                           QSysInfo::machineHostName(), line.port_text, &note);
        relay::log_line(QStringLiteral("node id %1 %2").arg(line.node_id, note));
    }
    if (options->mqtt.broker.client_id.isEmpty()) {
        options->mqtt.broker.client_id = QStringLiteral("relayd-") + line.node_id;
    }
    relay::RelayBridge bridge(line, program_directory);
    relay::HistoryRecorder history(bridge, options->history);
    std::unique_ptr<relay::MqttAdapter> mqtt;
    std::unique_ptr<relay::WebServer> web;
    bool stopping = false;
    const auto stop = [&](int code) {
        if (stopping) {
            return;
        }
        stopping = true;
        bridge.stop([&, code] {
            history.stop();
            web.reset();
            if (mqtt) {
                mqtt->stop();
            }
            QCoreApplication::exit(code);
        });
    };
    relay::InterruptWatch interrupts;
    interrupts.start();
    QObject::connect(&interrupts, &relay::InterruptWatch::interrupted, &app,
                     [&] { stop(relay::exit_code::Ok); });
    QObject::connect(&bridge, &relay::RelayBridge::fatal, &app, stop);
    if (options->mqtt_on) {
        mqtt = std::make_unique<relay::MqttAdapter>(bridge, options->mqtt);
        mqtt->set_history(&history);
        QObject::connect(mqtt.get(), &relay::MqttAdapter::fatal, &app, stop);
    } else {
        relay::log_line(QStringLiteral("MQTT off: --http without --broker"));
    }
    if (options->web.port != 0) {
        web = std::make_unique<relay::WebServer>(bridge, options->web);
        web->set_history(&history);
        web->set_mqtt_state([&mqtt]() -> std::optional<bool> {
            return mqtt ? std::optional<bool>(mqtt->connected()) : std::nullopt;
        });
        if (const int code = web->start(&error); code != relay::exit_code::Ok) {
            relay::log_line(error);
            return code;
        }
    }
    if (const int code = bridge.start(); code != relay::exit_code::Ok) {
        return code;
    }
    history.start();
    if (web) {
        relay::log_line(QStringLiteral("web page at %1").arg(web->address_text()));
    }
    if (mqtt) {
        mqtt->start();
    }
    return QCoreApplication::exec();
}
