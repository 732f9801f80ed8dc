// An HTTP request to relayd's web side, as the request reader sees it: the
// first byte picks the method, then the path up to the first NUL, then the
// body. Checks: reading is deterministic; a refusal carries a 4xx status and
// why; only a POST to a board or a channel switches, and only what its path
// names, with disjoint ON, OFF, TOGGLE and PULSE sets; an oversized body is
// always refused.
#include "web/web_request.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdlib>
#include <cstring>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    static const char* const methods[] = {"GET", "POST", "HEAD", "PUT", "DELETE", "BREW"};
    const QByteArray method = methods[data[0] % 6];
    const char* rest = reinterpret_cast<const char*>(data + 1);
    const std::size_t rest_size = size - 1;
    const void* nul = std::memchr(rest, 0, rest_size);
    const std::size_t path_size =
        nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - rest) : rest_size;
    const QString path = QString::fromUtf8(rest, static_cast<qsizetype>(path_size));
    const QByteArray body =
        nul ? QByteArray(rest + path_size + 1, static_cast<qsizetype>(rest_size - path_size - 1))
            : QByteArray();

    const relay::WebRequest request = relay::read_web_request(method, path, body);
    check(same(request, relay::read_web_request(method, path, body)));
    using Kind = relay::WebRequest::Kind;
    if (request.kind == Kind::Refused) {
        check(!request.error.isEmpty());
        check(request.status == 400 || request.status == 404 || request.status == 405 ||
              request.status == 413);
        check((request.status == 405) == !request.allow.isEmpty());
    } else {
        check(request.status == 200 && body.size() <= relay::MaxBodyBytes);
        check(path.startsWith(QLatin1Char('/')));
    }
    if (body.size() > relay::MaxBodyBytes) {
        check(request.status == 413);
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
    return 0;
}
