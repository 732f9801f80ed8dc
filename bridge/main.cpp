#include "bridge/bridge_options.h"
#include "bridge/mqtt_adapter.h"
#include "bridge/relay_bridge.h"
#include "serial/interrupt_watch.h"

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
    // comN links and name.txt live beside the program, as for the panel.
    relay::RelayBridge bridge(*options, QCoreApplication::applicationDirPath());
    std::unique_ptr<relay::MqttAdapter> mqtt;
    mqtt = std::make_unique<relay::MqttAdapter>(bridge);
    const auto stop = [&](int code) {
        if (mqtt) {
            mqtt->stop();
        }
        bridge.stop();
        QCoreApplication::exit(code);
    };
    relay::InterruptWatch interrupts;
    interrupts.start();
    QObject::connect(&interrupts, &relay::InterruptWatch::interrupted, &app,
                     [&] { stop(relay::exit_code::Ok); });
    QObject::connect(&bridge, &relay::RelayBridge::fatal, &app, stop);
    QObject::connect(mqtt.get(), &relay::MqttAdapter::fatal, &app, stop);
    if (const int code = bridge.start(); code != relay::exit_code::Ok) {
        return code;
    }
    mqtt->start();
    return QCoreApplication::exec();
}
