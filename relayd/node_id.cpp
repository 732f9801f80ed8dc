#include "relayd/node_id.h"

#include "mqtt/topics.h"
#include "protocol/option_text.h"
#include "serial/port_resolver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace relay {

namespace {

const QString NodeIds = QStringLiteral("node-ids");

}  // namespace

QString default_node_id(const QString& host, const QString& port_text) {
    const QByteArray hash =
        QCryptographicHash::hash(port_text.toUtf8(), QCryptographicHash::Sha1).toHex().left(8);
    return topic_safe(host.isEmpty() ? QStringLiteral("host") : host) + QLatin1Char('-') +
           QString::fromLatin1(hash);
}

QString line_identity(const QString& port_text, const QString& link_directory,
                      const QString& by_id_directory) {
    if (tcp_address(port_text)) {
        return port_text.toLower();
    }
    QString device = port_text;
    if (!is_device_path(port_text)) {
        const PortResolution resolved = resolve_port_number(port_text, link_directory);
        if (!resolved.ok()) {
            return QStringLiteral("port ") + port_text;  // it will not open either
        }
        device = resolved.link.isEmpty() ? resolved.device : resolved.link;
    }
    const QFileInfo info(device);
    const QString real = info.canonicalFilePath();
    if (real.isEmpty()) {
        return QDir::cleanPath(info.absoluteFilePath());
    }
    const QFileInfoList links =
        QDir(by_id_directory).entryInfoList(QDir::AllEntries | QDir::System, QDir::Name);
    for (const QFileInfo& link : links) {
        if (link.canonicalFilePath() == real) {
            return link.absoluteFilePath();
        }
    }
    return real;
}

QString kept_node_id(const StateDirectory& state, const QString& line, const QString& host,
                     const QString& port_text, QString* note) {
    const QString where = state.file_path(NodeIds);
    const std::optional<QByteArray> bytes = state.read(NodeIds);
    QJsonParseError parsed{};
    QJsonObject kept;
    if (bytes) {
        const QJsonDocument document = QJsonDocument::fromJson(*bytes, &parsed);
        if (parsed.error != QJsonParseError::NoError || !document.isObject()) {
            *note = QStringLiteral("%1 cannot be read (%2); left as it is")
                        .arg(where, parsed.errorString());
            return default_node_id(host, port_text);
        }
        kept = document.object();
    }
    const QString known = kept.value(line).toString();
    if (!known.isEmpty() && topic_safe(known) == known) {
        *note = QStringLiteral("kept in %1").arg(where);
        return known;
    }
    QString id = default_node_id(host, port_text);
    for (auto it = kept.constBegin(); it != kept.constEnd(); ++it) {
        if (it.value().toString() == id) {  // the same text once meant another line
            id = default_node_id(host, line);
        }
    }
    kept.insert(line, id);
    QString error;
    if (!state.write(NodeIds, QJsonDocument(kept).toJson(), &error)) {
        *note = QStringLiteral(
                    "cannot be kept in %1 (%2): the same again only while host and "
                    "--port stay as they are")
                    .arg(where, error);
        return id;
    }
    *note = QStringLiteral("chosen for %1 and kept in %2").arg(line, where);
    return id;
}

}  // namespace relay
