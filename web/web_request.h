#pragma once

#include "controller/channel_command.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

namespace relay {

// An HTTP request to relayd's web side, read: which resource, and for a
// command what it asks. Nothing here knows the boards or the users.
struct WebRequest {
    enum class Kind {
        Refused,  // status and error say why
        Asset,    // a file of the page
        Session,
        Login,
        Logout,
        Boards,
        Board,
        Switch,  // command
        Rename,  // address, channel, name
        Live,
        Schedules,
        SchedulePut,     // name, text: an entry of the page added or changed
        ScheduleDelete,  // name
        History,         // the query says what (web/history_api.h)
        Runtime,         // address
        Metrics,         // Prometheus' text
    };
    Kind kind = Kind::Refused;
    int status = 200;
    QString error;
    QString allow;  // 405: the methods the resource takes
    QString asset;  // Asset: its resource name
    std::uint8_t address = 0;
    int channel = 0;
    ChannelCommand command;
    QString name;      // Rename: the new name; Login: the user; Schedule*: the entry
    QString text;      // SchedulePut: the entry's text
    QString password;  // Login
};

// Bodies larger than this are refused (413) before they are read.
constexpr int MaxBodyBytes = 4096;

// method as on the request line; path without the query, percent-encoded as
// it came. A body that is not the documented JSON is refused with 400.
WebRequest read_web_request(const QByteArray& method, const QString& path, const QByteArray& body);

}  // namespace relay
