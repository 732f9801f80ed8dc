#include "web/request_framer.h"

namespace relay {

namespace {

// A request line longer than this cannot hold a URL within the limit.
constexpr int MostRequestLineBytes = MostTargetBytes + 32;

}  // namespace

RequestFramer::Request RequestFramer::refuse(int status, const QString& error) {
    m_state = State::Refused;
    Request refused;
    refused.head.status = status;
    refused.head.error = error;
    return refused;
}

QList<RequestFramer::Request> RequestFramer::feed(QByteArrayView bytes) {
    QList<Request> done;
    for (qsizetype at = 0; at < bytes.size();) {
        if (m_state == State::Upgraded || m_state == State::Refused) {
            break;
        }
        if (m_state == State::Body) {
            const qsizetype take = std::min<qsizetype>(
                bytes.size() - at, m_request.head.body_bytes - m_request.body.size());
            m_request.body += bytes.sliced(at, take);
            at += take;
            if (m_request.body.size() == m_request.head.body_bytes) {
                done.append(std::move(m_request));
                m_state = State::Between;
            }
            continue;
        }
        const char c = bytes[at++];
        if (m_state == State::Between) {
            // An empty line before a request is no request (RFC 9112, 2.2).
            if (c == '\r' || c == '\n') {
                continue;
            }
            m_state = State::Head;
            m_head.clear();
        }
        // A lone CR or LF would end a line for one reader and not another.
        if ((c == '\n') != m_head.endsWith('\r')) {
            done.append(refuse(400, QStringLiteral("a line does not end in CRLF")));
            break;
        }
        m_head += c;
        if (m_head.size() > MostRequestLineBytes && !m_head.contains("\r\n")) {
            done.append(refuse(
                414, QStringLiteral("the URL is longer than %1 bytes").arg(MostTargetBytes)));
            break;
        }
        if (m_head.size() > MostHeadBytes) {
            done.append(refuse(
                431,
                QStringLiteral("the request head is larger than %1 bytes").arg(MostHeadBytes)));
            break;
        }
        if (!m_head.endsWith("\r\n\r\n")) {
            continue;
        }
        m_request = Request{read_request_head(m_head), QByteArray()};
        m_head.clear();
        if (m_request.head.status != 0) {
            done.append(refuse(m_request.head.status, m_request.head.error));
        } else if (m_request.head.websocket) {
            m_state = State::Upgraded;
            done.append(std::move(m_request));
        } else if (m_request.head.body_bytes > 0) {
            m_state = State::Body;
        } else {
            m_state = State::Between;
            done.append(std::move(m_request));
        }
    }
    return done;
}

}  // namespace relay
