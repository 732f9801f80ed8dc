#include "web/web_server.h"

#include "protocol/option_text.h"
#include "relayd/log_line.h"
#include "web/metrics_text.h"
#include "web/web_exchange.h"
#include "web/web_listener.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSslKey>
#include <QTcpSocket>
#include <QWebSocket>

namespace relay {

namespace {

using Status = QHttpServerResponder::StatusCode;

// Mozilla's "intermediate" profile without its finite-field DHE: TLS 1.2
// only with forward-secret key exchange and AEAD ciphers, TLS 1.3 with all of
// its suites. OpenSSL 3 refuses renegotiation that a client asks for.
QSslConfiguration tls_profile() {
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.setCiphers(
        QStringLiteral("TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256:"
                       "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                       "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                       "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305"));
    configuration.setBackendConfigurationOption("Groups", "X25519:prime256v1:secp384r1");
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);  // users log in, not certificates
    return configuration;
}

QByteArray json(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

}  // namespace

WebServer::WebServer(RelayBridge& bridge, WebOptions options, QObject* parent)
    : QAbstractHttpServer(parent),
      m_bridge(bridge),
      m_options(std::move(options)),
      m_live(bridge),
      m_listener(std::make_unique<WebListener>()),
      m_history(bridge) {
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, &WebServer::on_live);
}

WebServer::~WebServer() = default;

int WebServer::start(QString* error) {
    const WebOptions& options = m_options;
    if (!options.users.isEmpty() && !m_auth.load_users(options.users, error)) {
        return exit_code::Usage;
    }
    std::optional<QSslConfiguration> tls;
    if (!options.cert.isEmpty()) {
        QFile cert(options.cert);
        QFile key(options.key);
        if (!cert.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read --http-cert %1 or --http-key %2")
                         .arg(options.cert, options.key);
            return exit_code::Usage;
        }
        const QList<QSslCertificate> chain = QSslCertificate::fromData(cert.readAll());
        const QSslKey private_key(key.readAll(), QSsl::Ec);
        const QSslKey rsa_key(key.seek(0) ? key.readAll() : QByteArray(), QSsl::Rsa);
        if (chain.isEmpty() || (private_key.isNull() && rsa_key.isNull())) {
            *error = QStringLiteral(
                         "--http-cert %1 and --http-key %2 are not a PEM certificate "
                         "and its key")
                         .arg(options.cert, options.key);
            return exit_code::Usage;
        }
        QSslConfiguration configuration = tls_profile();
        configuration.setLocalCertificateChain(chain);
        configuration.setPrivateKey(private_key.isNull() ? rsa_key : private_key);
        tls = configuration;
        m_tls = true;
    }
    QList<QHostAddress> addresses{options.address};
    if (options.address == QHostAddress(QHostAddress::LocalHost)) {
        addresses.append(QHostAddress(QHostAddress::LocalHostIPv6));
    }
    for (const QHostAddress& address : addresses) {
        QString why;
        QTcpServer* server = m_listener->listen(address, options.port, tls, &why);
        if (server) {
            bind(server);
        } else if (address.protocol() != QAbstractSocket::IPv6Protocol || addresses.size() == 1) {
            *error = QStringLiteral("cannot listen on %1 port %2: %3")
                         .arg(address.toString())
                         .arg(options.port)
                         .arg(why);
            return exit_code::Listen;
        }
    }
    return exit_code::Ok;
}

void WebServer::set_history(HistoryRecorder* recorder) {
    m_recorder = recorder;
    m_history.set_recorder(recorder);
}

QString WebServer::address_text() const {
    const WebOptions& options = m_options;
    QString host = options.address.toString();
    if (options.address.protocol() == QAbstractSocket::IPv6Protocol) {
        host = QLatin1Char('[') + host + QLatin1Char(']');
    }
    return QStringLiteral("%1://%2:%3/")
        .arg(m_tls ? QStringLiteral("https") : QStringLiteral("http"), host)
        .arg(options.port);
}

bool WebServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    const std::optional<RequestFramer::Request> framed = m_listener->take(socket);
    if (!framed || socket->state() != QAbstractSocket::ConnectedState) {
        // Refused already, or Qt's parser found a request where the listener
        // found none: nothing of it is served.
        if (socket->state() == QAbstractSocket::ConnectedState) {
            m_listener->refuse(socket, 400, QStringLiteral("not a request as relayd reads them"));
        }
        return true;
    }
    const RequestHead& head = framed->head;
    // Qt upgrades a handled request to a WebSocket: on_live() decides then,
    // and can tell the page why it refuses (a close code, not a bare 403).
    if (head.websocket) {
        m_listener->release(socket);
        return true;
    }
    const Held exchange = std::make_shared<WebExchange>(makeResponder(request, socket));
    exchange->socket = socket;
    exchange->method = head.method;
    exchange->path = QString::fromLatin1(head.path);
    exchange->query = QString::fromLatin1(head.query);
    exchange->body = framed->body;
    exchange->host = head.value("host");
    exchange->origin = head.value("origin");
    exchange->fetch_site = head.value("sec-fetch-site");
    exchange->cookies = head.value("cookie");
    exchange->authorization = head.value("authorization");
    exchange->from = socket->peerAddress();
    exchange->tls = m_tls;
    // Without users only this host's own names: a page elsewhere whose name
    // is made to point here (DNS rebinding) gets nothing.
    if (!m_auth.required() && !loopback_host(exchange->host)) {
        exchange->refuse(403, QStringLiteral("relayd without users answers only to localhost"));
        return true;
    }
    const WebRequest wanted = read_web_request(exchange->method, exchange->path, exchange->body);
    // A browser tells where a request comes from; only the page's own may change anything.
    const bool foreign_site = !exchange->fetch_site.isEmpty() &&
                              exchange->fetch_site != "same-origin" &&
                              exchange->fetch_site != "none";
    const bool changes = exchange->method != "GET" && exchange->method != "HEAD";
    if (changes && (foreign_site || !own_origin(exchange->origin, exchange->host))) {
        exchange->refuse(403, QStringLiteral("cross-site request refused"));
        return true;
    }
    switch (wanted.kind) {
        case WebRequest::Kind::Refused:
            exchange->refuse(
                wanted.status, wanted.error,
                wanted.allow.isEmpty() ? Headers{} : Headers{{"Allow", wanted.allow.toLatin1()}});
            return true;
        case WebRequest::Kind::Asset: {
            const bool script = wanted.asset.endsWith(QLatin1String(".js"));
            const bool style = wanted.asset.endsWith(QLatin1String(".css"));
            exchange->send(200,
                           script  ? "text/javascript; charset=utf-8"
                           : style ? "text/css; charset=utf-8"
                                   : "text/html; charset=utf-8",
                           asset(wanted.asset));
            return true;
        }
        case WebRequest::Kind::Live:
            exchange->refuse(426, QStringLiteral("the live stream is a WebSocket"),
                             {{"Upgrade", "websocket"}});
            return true;
        case WebRequest::Kind::Session:
            session(exchange);
            return true;
        case WebRequest::Kind::Login:
            login(exchange, wanted);
            return true;
        case WebRequest::Kind::Logout:
            m_auth.revoke(exchange->cookies);
            exchange->send_json(200, "{}", {{"Set-Cookie", m_auth.cleared_cookie(m_tls)}});
            return true;
        default:
            authorize(exchange, [this, exchange, wanted](const WebIdentity& identity) {
                serve_api(exchange, wanted, identity);
            });
            return true;
    }
}

void WebServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    makeResponder(request, socket).write(Status::NotFound);
}

void WebServer::authorize(const Held& exchange,
                          const std::function<void(const WebIdentity&)>& then) {
    if (const auto identity = m_auth.identify(exchange->cookies, exchange->authorization)) {
        then(*identity);
        return;
    }
    const auto credentials = WebAuth::basic(exchange->authorization);
    // Browsers get no Basic challenge: the page has its own login form.
    const Headers challenge = exchange->fetch_site.isEmpty()
                                  ? Headers{{"WWW-Authenticate", "Basic realm=\"relayd\""}}
                                  : Headers{};
    if (!credentials) {
        exchange->refuse(401, QStringLiteral("login required"), challenge);
        return;
    }
    if (const int wait = m_auth.retry_after(exchange->from); wait > 0) {
        exchange->refuse(429, QStringLiteral("too many failed logins; try again in %1 s").arg(wait),
                         {{"Retry-After", QByteArray::number(wait)}});
        return;
    }
    const bool queued = m_auth.check_password(
        credentials->first, credentials->second, exchange->from,
        [exchange, then, challenge](std::optional<WebIdentity> identity) {
            if (identity) {
                then(*identity);
                return;
            }
            log_line(QStringLiteral("web: failed login from %1 (HTTP Basic)")
                         .arg(exchange->from.toString()));
            exchange->refuse(401, QStringLiteral("wrong user name or password"), challenge);
        });
    if (!queued) {
        exchange->refuse(503, QStringLiteral("busy checking passwords; try again"),
                         {{"Retry-After", "1"}});
    }
}

void WebServer::serve_api(const Held& exchange, const WebRequest& wanted,
                          const WebIdentity& identity) {
    if (wanted.kind == WebRequest::Kind::Boards) {
        QByteArray boards;
        for (const BoardState& board : m_bridge.boards()) {
            boards += (boards.isEmpty() ? "" : ",") + m_bridge.document(board.address);
        }
        exchange->send_json(200, '[' + boards + ']');
        return;
    }
    if (wanted.kind == WebRequest::Kind::Metrics) {
        exchange->send(
            200, "text/plain; version=0.0.4; charset=utf-8",
            metrics_text({m_bridge, m_recorder,
                          m_mqtt_connected ? m_mqtt_connected() : std::nullopt, m_live.count()}));
        return;
    }
    if (wanted.kind == WebRequest::Kind::History) {
        m_history.serve_history(exchange, exchange->query);
        return;
    }
    if (wanted.kind == WebRequest::Kind::Schedules ||
        wanted.kind == WebRequest::Kind::SchedulePut ||
        wanted.kind == WebRequest::Kind::ScheduleDelete) {
        serve_schedules(exchange, wanted, identity);
        return;
    }
    if (!m_bridge.board(wanted.address)) {
        exchange->refuse(404, QStringLiteral("board %1 is not served here").arg(wanted.address));
        return;
    }
    if (wanted.kind == WebRequest::Kind::Board) {
        exchange->send_json(200, m_bridge.document(wanted.address));
        return;
    }
    if (wanted.kind == WebRequest::Kind::Runtime) {
        m_history.serve_runtime(exchange, wanted.address, exchange->query);
        return;
    }
    if (identity.role != WebRole::Operator) {
        exchange->refuse(403, QStringLiteral("%1 may only look").arg(identity.user));
        return;
    }
    if (wanted.kind == WebRequest::Kind::Rename) {
        QString refusal;
        if (!m_bridge.rename(wanted.address, wanted.channel, wanted.name, &refusal)) {
            exchange->refuse(422, refusal);
            return;
        }
        exchange->send_json(200, m_bridge.document(wanted.address));
        return;
    }
    switch_channels(exchange, wanted, identity.user);
}

void WebServer::serve_schedules(const Held& exchange, const WebRequest& wanted,
                                const WebIdentity& identity) {
    ScheduleRunner& schedules = m_bridge.schedules();
    if (wanted.kind != WebRequest::Kind::Schedules && identity.role != WebRole::Operator) {
        exchange->refuse(403, QStringLiteral("%1 may only look").arg(identity.user));
        return;
    }
    if (wanted.kind != WebRequest::Kind::Schedules) {
        QString refusal;
        const bool done = wanted.kind == WebRequest::Kind::SchedulePut
                              ? schedules.put(wanted.name, wanted.text, identity.user, &refusal)
                              : schedules.remove(wanted.name, identity.user, &refusal);
        if (!done) {
            exchange->refuse(wanted.kind == WebRequest::Kind::SchedulePut ? 422 : 409, refusal);
            return;
        }
    }
    exchange->send_json(200, json(schedules.listing()));
}

void WebServer::switch_channels(const Held& exchange, const WebRequest& wanted,
                                const QString& user) {
    const CommandSource source{QStringLiteral("path"), exchange->path, exchange->body,
                               QStringLiteral("web"), user};
    m_bridge.submit(wanted.command, source,
                    [this, exchange, address = wanted.address](const CommandOutcome& outcome,
                                                               const QJsonObject& event) {
                        switch (outcome.result) {
                            case CommandOutcome::Result::Verified:
                                exchange->send_json(200, m_bridge.document(address));
                                return;
                            case CommandOutcome::Result::NotVerified:
                                exchange->send_json(409, json(event));
                                return;
                            case CommandOutcome::Result::NoReply:
                                exchange->send_json(504, json(event));
                                return;
                            case CommandOutcome::Result::Refused:
                                exchange->send_json(422, json(event));
                                return;
                        }
                    });
}

void WebServer::session(const Held& exchange) {
    const auto identity = m_auth.identify(exchange->cookies, exchange->authorization);
    exchange->send_json(
        200,
        json({{QStringLiteral("login_required"), m_auth.required()},
              {QStringLiteral("user"),
               identity && !identity->user.isEmpty() ? QJsonValue(identity->user) : QJsonValue()},
              {QStringLiteral("role"),
               identity ? QJsonValue(role_name(identity->role)) : QJsonValue()},
              {QStringLiteral("node"), m_bridge.options().node_id}}));
}

void WebServer::login(const Held& exchange, const WebRequest& wanted) {
    if (!m_auth.required()) {
        session(exchange);
        return;
    }
    if (const int wait = m_auth.retry_after(exchange->from); wait > 0) {
        exchange->send_json(
            429,
            json({{QStringLiteral("error"),
                   QStringLiteral("too many failed logins; try again in %1 s").arg(wait)},
                  {QStringLiteral("retry_after"), wait}}),
            {{"Retry-After", QByteArray::number(wait)}});
        return;
    }
    const bool queued = m_auth.check_password(
        wanted.name, wanted.password.toUtf8(), exchange->from,
        [this, exchange](std::optional<WebIdentity> identity) {
            if (!identity) {
                log_line(
                    QStringLiteral("web: failed login from %1").arg(exchange->from.toString()));
                exchange->refuse(401, QStringLiteral("wrong user name or password"));
                return;
            }
            exchange->send_json(200,
                                json({{QStringLiteral("user"), identity->user},
                                      {QStringLiteral("role"), role_name(identity->role)}}),
                                {{"Set-Cookie", m_auth.session_cookie(*identity, m_tls)}});
        });
    if (!queued) {
        exchange->refuse(503, QStringLiteral("busy checking passwords; try again"),
                         {{"Retry-After", "1"}});
    }
}

void WebServer::on_live() {
    while (std::unique_ptr<QWebSocket> socket = nextPendingWebSocketConnection()) {
        const QNetworkRequest request = socket->request();
        const QByteArray host = request.rawHeader("Host");
        const bool known_host = m_auth.required() || loopback_host(host);
        if (socket->requestUrl().path() != QLatin1String("/api/live") || !known_host ||
            !own_origin(socket->origin().toUtf8(), host)) {
            LiveStreams::refuse(std::move(socket), 4403, QStringLiteral("refused"));
        } else if (!m_auth.identify(request.rawHeader("Cookie"),
                                    request.rawHeader("Authorization"))) {
            LiveStreams::refuse(std::move(socket), 4401, QStringLiteral("login required"));
        } else {
            m_live.add(std::move(socket));
        }
    }
}

bool WebServer::own_origin(const QByteArray& origin, const QByteArray& host) const {
    // Scripts (curl) send no Origin; a browser always does on a POST.
    return origin.isEmpty() ||
           origin.compare((m_tls ? "https://" : "http://") + host, Qt::CaseInsensitive) == 0;
}

bool WebServer::loopback_host(const QByteArray& host) const {
    QByteArray name = host;
    const qsizetype colon = name.lastIndexOf(':');
    if (colon >= 0 && !name.endsWith(']')) {
        name.truncate(colon);
    }
    name = name.toLower();
    return name == "localhost" || name == "[::1]" ||
           QHostAddress(QString::fromLatin1(name)).isLoopback();
}

QByteArray WebServer::asset(const QString& name) const {
    QFile file(QStringLiteral(":/web") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace relay
