#include "web/web_request.h"

#include "protocol/option_text.h"
#include "schedule/schedule_entry.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace relay {

namespace {

WebRequest refused(int status, const QString& error, const QString& allow = QString()) {
    WebRequest request;
    request.status = status;
    request.error = error;
    request.allow = allow;
    return request;
}

WebRequest of_kind(WebRequest::Kind kind) {
    WebRequest request;
    request.kind = kind;
    return request;
}

std::optional<QJsonObject> json_object(const QByteArray& body) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return std::nullopt;
    }
    return document.object();
}

WebRequest read_login(const QByteArray& body) {
    const auto object = json_object(body);
    const QJsonValue user = object ? object->value(QStringLiteral("user")) : QJsonValue();
    const QJsonValue password = object ? object->value(QStringLiteral("password")) : QJsonValue();
    if (!user.isString() || !password.isString()) {
        return refused(400, QStringLiteral("the body is not {\"user\":...,\"password\":...}"));
    }
    WebRequest request = of_kind(WebRequest::Kind::Login);
    request.name = user.toString();
    request.password = password.toString();
    return request;
}

WebRequest read_rename(std::uint8_t address, int channel, const QByteArray& body) {
    const auto object = json_object(body);
    const QJsonValue name = object ? object->value(QStringLiteral("name")) : QJsonValue();
    if (!name.isString() || object->size() != 1) {
        return refused(400, QStringLiteral("the body is not {\"name\":\"...\"}"));
    }
    WebRequest request = of_kind(WebRequest::Kind::Rename);
    request.address = address;
    request.channel = channel;
    request.name = name.toString();
    return request;
}

WebRequest read_switch(const CommandReading& reading) {
    if (!reading.command) {
        return refused(400, reading.refusal);
    }
    WebRequest request = of_kind(WebRequest::Kind::Switch);
    request.command = *reading.command;
    request.address = reading.command->address;
    return request;
}

// /api/schedules and /api/schedules/NAME: the list, and an entry of the page.
WebRequest read_schedules(const QByteArray& method, const QStringList& parts,
                          const QByteArray& body) {
    if (parts.size() == 1) {
        return method == "GET" || method == "HEAD"
                   ? of_kind(WebRequest::Kind::Schedules)
                   : refused(405, QStringLiteral("method not allowed"), QStringLiteral("GET"));
    }
    if (parts.size() != 2 || !is_schedule_name(parts[1])) {
        return refused(404, QStringLiteral("no such entry: names are letters, digits, _ and -"));
    }
    WebRequest request;
    if (method == "DELETE") {
        request = of_kind(WebRequest::Kind::ScheduleDelete);
    } else if (method == "PUT") {
        const auto object = json_object(body);
        const QJsonValue text = object ? object->value(QStringLiteral("entry")) : QJsonValue();
        if (!text.isString() || object->size() != 1) {
            return refused(400, QStringLiteral("the body is not {\"entry\":\"...\"}"));
        }
        request = of_kind(WebRequest::Kind::SchedulePut);
        request.text = text.toString();
    } else {
        return refused(405, QStringLiteral("method not allowed"), QStringLiteral("PUT, DELETE"));
    }
    request.name = parts[1];
    return request;
}

// The API's resources below /api/: which kind, and the methods each takes.
WebRequest read_api(const QByteArray& method, const QStringList& parts, const QByteArray& body) {
    const bool get = method == "GET" || method == "HEAD";
    const bool post = method == "POST";
    const auto only = [&](bool allowed, const char* allow, WebRequest request) {
        return allowed
                   ? request
                   : refused(405, QStringLiteral("method not allowed"), QString::fromLatin1(allow));
    };
    const QString& first = parts.value(0);
    if (parts.size() == 1 && first == QLatin1String("session")) {
        return only(get, "GET", of_kind(WebRequest::Kind::Session));
    }
    if (parts.size() == 1 && first == QLatin1String("live")) {
        return only(get, "GET", of_kind(WebRequest::Kind::Live));
    }
    if (parts.size() == 1 && first == QLatin1String("login")) {
        return only(post, "POST", post ? read_login(body) : WebRequest());
    }
    if (parts.size() == 1 && first == QLatin1String("logout")) {
        return only(post, "POST", of_kind(WebRequest::Kind::Logout));
    }
    if (first == QLatin1String("schedules")) {
        return read_schedules(method, parts, body);
    }
    if (parts.size() == 1 && first == QLatin1String("history")) {
        return only(get, "GET", of_kind(WebRequest::Kind::History));
    }
    if (first != QLatin1String("boards") || parts.size() > 5) {
        return refused(404, QStringLiteral("no such resource"));
    }
    if (parts.size() == 1) {
        return only(get, "GET", of_kind(WebRequest::Kind::Boards));
    }
    const auto address = strict_decimal(parts[1], 0, 255);
    if (!address) {
        return refused(404, QStringLiteral("no board %1").arg(parts[1].left(20)));
    }
    const auto board = static_cast<std::uint8_t>(*address);
    if (parts.size() == 2) {
        WebRequest request = of_kind(WebRequest::Kind::Board);
        request.address = board;
        return get ? request
                   : only(post, "GET, POST",
                          post ? read_switch(read_board_payload(board, body)) : WebRequest());
    }
    if (parts.size() == 3 && parts[2] == QLatin1String("runtime")) {
        WebRequest request = of_kind(WebRequest::Kind::Runtime);
        request.address = board;
        return only(get, "GET", request);
    }
    const auto channel = parts[2] == QLatin1String("channels") && parts.size() >= 4
                             ? strict_decimal(parts[3], 1, ChannelCount)
                             : std::nullopt;
    if (!channel) {
        return refused(404, QStringLiteral("no such channel: channels are 1 to 16"));
    }
    if (parts.size() == 4) {
        return only(post, "POST",
                    post ? read_switch(read_channel_payload(board, *channel, body)) : WebRequest());
    }
    if (parts[4] != QLatin1String("name")) {
        return refused(404, QStringLiteral("no such resource"));
    }
    return only(post, "POST", post ? read_rename(board, *channel, body) : WebRequest());
}

}  // namespace

WebRequest read_web_request(const QByteArray& method, const QString& path, const QByteArray& body) {
    if (body.size() > MaxBodyBytes) {
        return refused(413, QStringLiteral("the body is larger than %1 bytes").arg(MaxBodyBytes));
    }
    static const QStringList assets{QStringLiteral("/"),
                                    QStringLiteral("/words.js"),
                                    QStringLiteral("/live.js"),
                                    QStringLiteral("/cards.js"),
                                    QStringLiteral("/schedules.js"),
                                    QStringLiteral("/history.js"),
                                    QStringLiteral("/history.css"),
                                    QStringLiteral("/app.css")};
    if (assets.contains(path)) {
        WebRequest request = of_kind(WebRequest::Kind::Asset);
        request.asset = path == QLatin1String("/") ? QStringLiteral("/index.html") : path;
        return method == "GET" || method == "HEAD"
                   ? request
                   : refused(405, QStringLiteral("method not allowed"), QStringLiteral("GET"));
    }
    if (path == QLatin1String("/metrics")) {
        return method == "GET" || method == "HEAD"
                   ? of_kind(WebRequest::Kind::Metrics)
                   : refused(405, QStringLiteral("method not allowed"), QStringLiteral("GET"));
    }
    if (!path.startsWith(QLatin1String("/api/"))) {
        return refused(404, QStringLiteral("no such resource"));
    }
    return read_api(method, path.mid(5).split(QLatin1Char('/')), body);
}

}  // namespace relay
