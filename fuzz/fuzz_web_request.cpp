// The bytes of a connection to relayd's web side, as its request reading sees
// them: the first byte picks how they arrive (all at once, or in pieces of
// 1 to 255 bytes), the rest is what the client sent. Checks: however the
// bytes arrive, the same requests come out; only the last may be refused,
// with a 4xx or 5xx status and why; a request read has a known method, a
// path, and exactly the body its one Content-Length announced, never over
// the limit; then what the request asks is read deterministically; a refusal
// carries a 4xx status; only a POST to a board or a channel switches, and only
// what its path names, with disjoint ON, OFF, TOGGLE and PULSE sets.
#include "web/request_framer.h"
#include "web/web_request.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool same(const relay::WebRequest& a, const relay::WebRequest& b) {
    return a.kind == b.kind && a.status == b.status && a.error == b.error && a.allow == b.allow &&
           a.asset == b.asset && a.address == b.address && a.channel == b.channel &&
           a.name == b.name && a.password == b.password && a.command.on == b.command.on &&
           a.command.off == b.command.off && a.command.toggle == b.command.toggle &&
           a.command.pulse == b.command.pulse && a.command.pulse_ms == b.command.pulse_ms;
}

bool same(const relay::RequestFramer::Request& a, const relay::RequestFramer::Request& b) {
    return a.head.status == b.head.status && a.head.error == b.head.error &&
           a.head.method == b.head.method && a.head.path == b.head.path &&
           a.head.body_bytes == b.head.body_bytes && a.head.websocket == b.head.websocket &&
           a.head.fields == b.head.fields && a.body == b.body;
}

void check_switch(const QString& path, const relay::WebRequest& request) {
    const relay::ChannelCommand& command = request.command;
    const QStringList levels = path.split(QLatin1Char('/'));
    // "", "api", "boards", A [, "channels", C]
    check(levels.size() == 4 || levels.size() == 6);
    check(levels[1] == QLatin1String("api") && levels[2] == QLatin1String("boards"));
    bool ok = false;
    check(levels[3].toInt(&ok) == command.address && ok);
    check(command.mask() != 0);
    check((command.on & command.off) == 0 && (command.on & command.toggle) == 0);
    check((command.off & command.toggle) == 0);
    check((command.pulse & (command.on | command.off | command.toggle)) == 0);
    check(command.pulse_ms == 0 ||
          (command.pulse_ms >= relay::MinPulseMs && command.pulse_ms <= relay::MaxPulseMs));
    if (levels.size() == 6) {
        check(levels[4] == QLatin1String("channels"));
        const int channel = levels[5].toInt(&ok);
        check(ok && channel >= 1 && channel <= relay::ChannelCount);
        check(command.mask() == (1u << (channel - 1)));
    }
}

void check_reading(const QByteArray& method, const QString& path, const QByteArray& body) {
    const relay::WebRequest request = relay::read_web_request(method, path, body);
    check(same(request, relay::read_web_request(method, path, body)));
    using Kind = relay::WebRequest::Kind;
    if (request.kind == Kind::Refused) {
        check(!request.error.isEmpty());
        check(request.status == 400 || request.status == 404 || request.status == 405);
        check((request.status == 405) == !request.allow.isEmpty());
    } else {
        check(request.status == 200);
    }
    const bool changes = request.kind == Kind::Switch || request.kind == Kind::Rename ||
                         request.kind == Kind::Login || request.kind == Kind::Logout;
    check(!changes || method == "POST");
    if (request.kind == Kind::Switch) {
        check_switch(path, request);
    }
    if (request.kind == Kind::Rename) {
        check(path.endsWith(QLatin1String("/name")));
        check(request.channel >= 1 && request.channel <= relay::ChannelCount);
    }
    if (request.kind == Kind::Asset) {
        check(method == "GET" || method == "HEAD");
        check(!path.startsWith(QLatin1String("/api/")));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const QByteArrayView bytes(data + 1, static_cast<qsizetype>(size - 1));
    relay::RequestFramer whole;
    const QList<relay::RequestFramer::Request> requests = whole.feed(bytes);
    relay::RequestFramer pieces;
    QList<relay::RequestFramer::Request> again;
    const qsizetype piece = data[0] == 0 ? bytes.size() : data[0];
    for (qsizetype at = 0; at < bytes.size(); at += piece) {
        again += pieces.feed(bytes.sliced(at, std::min(piece, bytes.size() - at)));
    }
    check(requests.size() == again.size() && pieces.state() == whole.state());
    for (qsizetype i = 0; i < requests.size(); ++i) {
        check(same(requests[i], again[i]));
        const relay::RequestHead& head = requests[i].head;
        if (head.status != 0) {
            check(i == requests.size() - 1 &&
                  whole.state() == relay::RequestFramer::State::Refused);
            check(head.status >= 400 && head.status < 600 && !head.error.isEmpty());
            continue;
        }
        static const QList<QByteArray> methods{"GET",    "HEAD",    "POST", "PUT",
                                               "DELETE", "OPTIONS", "PATCH"};
        check(methods.contains(head.method) && head.path.startsWith('/'));
        check(!head.path.contains('?') && head.path.size() <= relay::MostTargetBytes);
        check(requests[i].body.size() == head.body_bytes && head.body_bytes <= relay::MaxBodyBytes);
        check(head.fields.size() <= relay::MostHeaderFields);
        check(!head.websocket || (i == requests.size() - 1 && head.method == "GET"));
        check_reading(head.method, QString::fromLatin1(head.path), requests[i].body);
    }
    return 0;
}
