#pragma once

#include "web/request_head.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

namespace relay {

// One connection's bytes cut into requests: each head read when whole, then
// its body by its length. However the bytes come, in one piece or one at a
// time, the same requests come out; the first refusal ends the connection.
class RequestFramer {
public:
    enum class State {
        Between,   // before a request: nothing of it yet
        Head,      // some of a head
        Body,      // a head and some of its body
        Upgraded,  // a WebSocket handshake was the last
        Refused,
    };
    struct Request {
        RequestHead head;  // refused: status and error
        QByteArray body;
    };

    // The connection's next bytes: the requests they complete, in order, the
    // last of them refused when the bytes are not HTTP as relayd takes it.
    QList<Request> feed(QByteArrayView bytes);
    State state() const { return m_state; }

private:
    Request refuse(int status, const QString& error);

    State m_state = State::Between;
    QByteArray m_head;
    Request m_request;  // in Body: the head read, the body so far
};

}  // namespace relay
