#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QTcpSocket>

namespace relay {

using Headers = QList<QPair<QByteArray, QByteArray>>;

// No inline script or style, nothing from elsewhere, no framing.
inline const QByteArray ContentPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'";

// Under TLS every answer tells the browser to come back only over TLS, for
// two years (the Mozilla guideline); not for subdomains, which may be other
// devices of the plant.
inline const QByteArray TransportSecurity = "max-age=63072000";

// One request and the means to answer it, possibly later: a command waits for
// the board, a login for its password check. The client may be gone by then.
struct WebExchange {
    explicit WebExchange(QHttpServerResponder responder) : responder(std::move(responder)) {}

    QHttpServerResponder responder;
    QPointer<QTcpSocket> socket;
    QByteArray method;
    QString path;
    QString query;  // after the ?, percent-encoded as it came
    QByteArray body;
    QByteArray host;
    QByteArray origin;
    QByteArray fetch_site;
    QByteArray cookies;
    QByteArray authorization;
    QHostAddress from;
    bool tls = false;
    bool answered = false;

    void send(int status, const QByteArray& type, const QByteArray& content,
              const Headers& extra = {}) {
        if (answered || !socket || socket->state() != QAbstractSocket::ConnectedState) {
            return;
        }
        answered = true;
        responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(status));
        responder.writeHeader("Content-Type", type);
        responder.writeHeader("Content-Length", QByteArray::number(content.size()));
        responder.writeHeader("Content-Security-Policy", ContentPolicy);
        responder.writeHeader("X-Content-Type-Options", "nosniff");
        responder.writeHeader("X-Frame-Options", "DENY");
        responder.writeHeader("Referrer-Policy", "no-referrer");
        responder.writeHeader("Cache-Control", "no-store");
        if (tls) {
            responder.writeHeader("Strict-Transport-Security", TransportSecurity);
        }
        for (const auto& header : extra) {
            responder.writeHeader(header.first, header.second);
        }
        responder.writeBody(method == "HEAD" ? QByteArray() : content);
    }
    void send_json(int status, const QByteArray& content, const Headers& extra = {}) {
        send(status, "application/json", content, extra);
    }
    void refuse(int status, const QString& why, const Headers& extra = {}) {
        send_json(status,
                  QJsonDocument(QJsonObject{{QStringLiteral("error"), why}})
                      .toJson(QJsonDocument::Compact),
                  extra);
    }
};

}  // namespace relay
