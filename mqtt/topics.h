#pragma once

#include "controller/channel_command.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace relay {

// Where a bridge's messages live. Every topic of one bridge starts with
// BASE/NODE/, so that bridges on many hosts share one broker.
class Topics {
public:
    Topics(QString base, QString node, QString discovery_prefix);

    const QString& node() const { return m_node; }
    QString bridge_status() const;                                     // online / offline
    QString errors() const;                                            // failed commands
    QString schedule_runs() const;                                     // what the schedule ran
    QString board_availability(std::uint8_t address) const;            // online / offline
    QString board_document(std::uint8_t address) const;                // JSON
    QString board_command(std::uint8_t address) const;                 // ON / OFF / JSON
    QString channel_state(std::uint8_t address, int channel) const;    // ON / OFF
    QString channel_command(std::uint8_t address, int channel) const;  // ON / OFF / TOGGLE
    QStringList command_filters() const;                               // what the bridge hears
    // Home Assistant.
    QString discovery_config(std::uint8_t address, int channel) const;  // the switch
    QString button_config(std::uint8_t address, int channel) const;     // its pulse
    QString bridge_config() const;  // the bridge's own device, its connection
    // --ha-runtime: a channel's counters as JSON, and its two sensors.
    QString channel_runtime(std::uint8_t address, int channel) const;
    QString runtime_config(std::uint8_t address, int channel, bool energised) const;
    QStringList discovery_filters() const;  // this node's switch, button and sensor configs
    QString discovery_status() const;       // Home Assistant's birth and last will
    // Which channel's switch or button one of this node's config topics is for.
    struct Place {
        bool button = false;
        bool sensor = false;  // a runtime counter's
        std::uint8_t address = 0;
        int channel = 0;
    };
    std::optional<Place> discovery_place(const QString& topic) const;
    // Stable across restarts: the node and the board.
    QString device_id(std::uint8_t address) const;
    QString bridge_device_id() const;
    QString entity_id(std::uint8_t address, int channel) const;
    QString button_id(std::uint8_t address, int channel) const;
    QString runtime_id(std::uint8_t address, int channel, bool energised) const;

private:
    QString board(std::uint8_t address) const;

    QString m_base;
    QString m_node;
    QString m_prefix;
};

// Reads a message on a command topic. Refused: retained messages (they would
// switch again at every start), unknown topics, addresses or channels outside
// 0..255 / 1..16, and payloads the command readers refuse.
CommandReading read_command(const Topics& topics, const QString& topic, const QByteArray& payload,
                            bool retained);

// A node id made only of the characters topics and Home Assistant accept.
QString topic_safe(const QString& text);

// An id as Home Assistant's entity ids have it: lower case, every run of
// other characters one _, none at either end.
QString entity_slug(const QString& text);

}  // namespace relay
