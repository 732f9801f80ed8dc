#pragma once

#include "controller/switchboard.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

namespace relay {

// Where a command came from: an MQTT topic, a web API path or a schedule's
// entry, and its payload; for the history, its kind and the web's user.
struct CommandSource {
    QString field;  // "topic", "path" or "schedule"
    QString where;
    QByteArray payload;
    QString kind;  // "mqtt", "web", "schedule", "shared"
    QString user;  // who was logged in on the web; empty elsewhere
};

// A payload as text for a log line or an event, never too long.
QString shown_payload(const QByteArray& payload);

// The channels of bits as a JSON list, channel 1 first.
QJsonArray channel_list(ChannelBits bits);

// The event every adapter reports for a command that was refused or failed:
// {"time","error","topic"|"path"|"schedule","payload"}, the web's "user" when
// there is one and, for a failure, the board's "address", the "channels"
// concerned and the "timeout_ms".
QJsonObject command_error_event(const CommandSource& source, const CommandOutcome& outcome,
                                std::uint8_t address, int timeout_ms, const QDateTime& time);

}  // namespace relay
