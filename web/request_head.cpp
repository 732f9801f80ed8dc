#include "web/request_head.h"

#include "web/web_request.h"

#include <algorithm>

namespace relay {

namespace {

RequestHead refused(int status, const QString& error) {
    RequestHead head;
    head.status = status;
    head.error = error;
    return head;
}

bool token_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && QByteArrayView("!#$%&'*+-.^_`|~").contains(c));
}

bool token(const QByteArray& text) {
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), token_char);
}

bool digits(const QByteArray& text) {
    return !text.isEmpty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

QByteArray trimmed_ows(const QByteArray& text) {
    qsizetype from = 0;
    qsizetype to = text.size();
    while (from < to && (text[from] == ' ' || text[from] == '\t')) {
        ++from;
    }
    while (to > from && (text[to - 1] == ' ' || text[to - 1] == '\t')) {
        --to;
    }
    return text.mid(from, to - from);
}

bool has_token(const QByteArray& list, const char* wanted) {
    const QList<QByteArray> items = list.split(',');
    return std::any_of(items.begin(), items.end(), [wanted](const QByteArray& item) {
        return trimmed_ows(item).compare(wanted, Qt::CaseInsensitive) == 0;
    });
}

// The request line into head; false with head refused when it is not one.
bool read_request_line(const QByteArray& line, RequestHead* head, bool* http11) {
    const qsizetype first = line.indexOf(' ');
    const qsizetype last = line.lastIndexOf(' ');
    const QByteArray target = line.mid(first + 1, last - first - 1);
    const QByteArray version = line.mid(last + 1);
    if (first <= 0 || last == first || target.contains(' ') || !token(line.left(first))) {
        *head = refused(400, QStringLiteral("the request line is not METHOD /path HTTP/1.1"));
        return false;
    }
    if (target.size() > MostTargetBytes) {
        *head =
            refused(414, QStringLiteral("the URL is longer than %1 bytes").arg(MostTargetBytes));
        return false;
    }
    if (!target.startsWith('/') ||
        !std::all_of(target.begin(), target.end(), [](char c) { return c > ' ' && c < 0x7f; })) {
        *head = refused(400, QStringLiteral("the URL is not a path of visible ASCII"));
        return false;
    }
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        const bool http = version.size() == 8 && version.startsWith("HTTP/") && version[6] == '.' &&
                          digits(version.mid(5, 1)) && digits(version.mid(7, 1));
        *head = http
                    ? refused(505, QStringLiteral("only HTTP/1.1 and HTTP/1.0"))
                    : refused(400, QStringLiteral("the request line is not METHOD /path HTTP/1.1"));
        return false;
    }
    static const QList<QByteArray> methods{"GET",    "HEAD",    "POST", "PUT",
                                           "DELETE", "OPTIONS", "PATCH"};
    if (!methods.contains(line.left(first))) {
        *head = refused(501, QStringLiteral("no such method here"));
        return false;
    }
    *http11 = version == "HTTP/1.1";
    head->method = line.left(first);
    head->path = target.indexOf('?') < 0 ? target : target.left(target.indexOf('?'));
    head->query = target.indexOf('?') < 0 ? QByteArray() : target.mid(target.indexOf('?') + 1);
    return true;
}

// A field line into head; false with head refused when it is not one.
bool read_field(const QByteArray& line, RequestHead* head) {
    if (head->fields.size() >= MostHeaderFields) {
        *head = refused(431, QStringLiteral("more than %1 header fields").arg(MostHeaderFields));
        return false;
    }
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0 || !token(line.left(colon))) {
        *head = refused(400, QStringLiteral("a header line is not Name: value"));
        return false;
    }
    const QByteArray value = trimmed_ows(line.mid(colon + 1));
    if (std::any_of(value.begin(), value.end(),
                    [](char c) { return (c >= 0 && c < ' ' && c != '\t') || c == 0x7f; })) {
        *head = refused(400, QStringLiteral("a control character in a header value"));
        return false;
    }
    head->fields.append({line.left(colon).toLower(), value});
    return true;
}

bool has_field(const RequestHead& head, const char* name) {
    return std::any_of(head.fields.begin(), head.fields.end(),
                       [name](const auto& field) { return field.first == name; });
}

// What the fields say of the body and the upgrade; head refused when they
// do not frame one request.
bool read_framing(RequestHead* head, bool http11) {
    // Fields relayd reads once: a second one is another reader's request.
    for (const char* name : {"host", "content-length", "transfer-encoding", "origin", "cookie",
                             "authorization", "sec-fetch-site", "upgrade"}) {
        if (std::count_if(head->fields.begin(), head->fields.end(),
                          [name](const auto& field) { return field.first == name; }) > 1) {
            *head = refused(400, QStringLiteral("%1 is repeated").arg(QLatin1String(name)));
            return false;
        }
    }
    const bool has_length = has_field(*head, "content-length");
    if (has_field(*head, "transfer-encoding")) {
        *head = has_length
                    ? refused(400, QStringLiteral("both Content-Length and Transfer-Encoding"))
                    : refused(411, QStringLiteral("a body needs a Content-Length"));
        return false;
    }
    QByteArray length = head->value("content-length");
    if (has_length && !digits(length)) {
        *head = refused(400, QStringLiteral("Content-Length is not a number"));
        return false;
    }
    while (length.size() > 1 && length.startsWith('0')) {
        length.remove(0, 1);
    }
    head->body_bytes = length.size() > 9 ? qint64(MaxBodyBytes) + 1 : length.toLongLong();
    if (head->body_bytes > MaxBodyBytes) {
        *head = refused(413, QStringLiteral("the body is larger than %1 bytes").arg(MaxBodyBytes));
        return false;
    }
    if (http11 && !has_field(*head, "host")) {
        *head = refused(400, QStringLiteral("no Host"));
        return false;
    }
    if (has_field(*head, "upgrade")) {
        if (head->value("upgrade").compare("websocket", Qt::CaseInsensitive) != 0 ||
            head->method != "GET" || !has_token(head->value("connection"), "upgrade")) {
            *head = refused(400, QStringLiteral("only WebSocket upgrades"));
            return false;
        }
        // Its bytes after the head are frames: a body would be read as frames by
        // one reader and as a body by another.
        if (head->body_bytes > 0) {
            *head = refused(400, QStringLiteral("a WebSocket handshake with a body"));
            return false;
        }
        head->websocket = true;
    }
    return true;
}

}  // namespace

QByteArray RequestHead::value(const QByteArray& name) const {
    for (const auto& field : fields) {
        if (field.first == name) {
            return field.second;
        }
    }
    return QByteArray();
}

RequestHead read_request_head(const QByteArray& head) {
    if (head.size() > MostHeadBytes) {
        return refused(
            431, QStringLiteral("the request head is larger than %1 bytes").arg(MostHeadBytes));
    }
    RequestHead read;
    bool http11 = false;
    qsizetype from = 0;
    for (qsizetype end = head.indexOf("\r\n"); end != from; end = head.indexOf("\r\n", from)) {
        const QByteArray line = head.mid(from, end - from);
        if (end < 0 || line.contains('\r') || line.contains('\n')) {
            return refused(400, QStringLiteral("a line does not end in CRLF"));
        }
        if (from == 0 ? !read_request_line(line, &read, &http11) : !read_field(line, &read)) {
            return read;
        }
        from = end + 2;
    }
    if (from == 0 || from + 2 != head.size()) {
        return refused(400, QStringLiteral("the head is not one request line and its fields"));
    }
    read_framing(&read, http11);
    return read;
}

}  // namespace relay
