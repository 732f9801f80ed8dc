#include "mqtt/mqtt_adapter.h"
#include "relayd/add_user.h"
#include "relayd/bridge_options.h"
#include "relayd/log_line.h"
#include "relayd/next_runs.h"
#include "relayd/relay_bridge.h"
#include "serial/interrupt_watch.h"
#include "web/web_server.h"

#include <QCoreApplication>

#include <cstdio>
#include <memory>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("relayd"));

    QString error;
    const auto options = relay::parse_bridge_options(
        QCoreApplication::arguments(), qEnvironmentVariable("RELAYD_PASSWORD"), &error);
    if (!options) {
        std::fprintf(stderr, "relayd: %s (relayd --help shows the usage)\n",
                     error.toLocal8Bit().constData());
        return relay::exit_code::Usage;
    }
    if (options->help) {
        std::fputs(relay::bridge_usage_text().toLocal8Bit().constData(), stdout);
        return relay::exit_code::Ok;
    }
    if (!options->add_user.isEmpty()) {
        return relay::add_web_user(*options);
    }
    if (options->next_runs > 0) {
        return relay::print_next_runs(*options);
    }
    // comN links and name.txt live beside the program, as for the panel.
    relay::RelayBridge bridge(options->line, QCoreApplication::applicationDirPath());
    std::unique_ptr<relay::MqttAdapter> mqtt;
    std::unique_ptr<relay::WebServer> web;
    bool stopping = false;
    const auto stop = [&](int code) {
        if (stopping) {
            return;
        }
        stopping = true;
        bridge.stop([&, code] {
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
        QObject::connect(mqtt.get(), &relay::MqttAdapter::fatal, &app, stop);
    } else {
        relay::log_line(QStringLiteral("MQTT off: --http without --broker"));
    }
    if (options->web.port != 0) {
        web = std::make_unique<relay::WebServer>(bridge, options->web);
        if (const int code = web->start(&error); code != relay::exit_code::Ok) {
            relay::log_line(error);
            return code;
        }
    }
    if (const int code = bridge.start(); code != relay::exit_code::Ok) {
        return code;
    }
    if (web) {
        relay::log_line(QStringLiteral("web page at %1").arg(web->address_text()));
    }
    if (mqtt) {
        mqtt->start();
    }
    return QCoreApplication::exec();
}
