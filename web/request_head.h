#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

namespace relay {

// What relayd takes of a request head; more is refused before anything is read.
constexpr int MostTargetBytes = 2048;     // 414
constexpr int MostHeadBytes = 16 * 1024;  // 431
constexpr int MostHeaderFields = 64;      // 431

// One request head as HTTP/1.1 reads it, strictly: where Qt's parser guesses
// (two lengths, a length and chunks, an unknown version, a NUL in a value),
// this refuses, so that no two readers of the same bytes see two requests.
struct RequestHead {
    int status = 0;  // 0: a request; else the refusal's status, error says why
    QString error;
    QByteArray method;
    QByteArray path;   // the target without its query, as it came
    QByteArray query;  // what follows its ?, as it came
    qint64 body_bytes = 0;
    bool websocket = false;                       // a WebSocket handshake: no HTTP after it
    QList<QPair<QByteArray, QByteArray>> fields;  // names in lower case

    // The field's value; empty when absent.
    QByteArray value(const QByteArray& name) const;
};

// head: the bytes from the request line to the empty line, both CRLFs included.
RequestHead read_request_head(const QByteArray& head);

}  // namespace relay
