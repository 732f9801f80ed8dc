#include "cli/cli_output.h"

#include <QJsonDocument>

#include <cstdio>

namespace relay {

namespace {

const char* kind_name(WatchEvent::Kind kind) {
    switch (kind) {
        case WatchEvent::Kind::Initial:
            return "initial";
        case WatchEvent::Kind::Change:
            return "change";
        case WatchEvent::Kind::Silent:
            return "silent";
        case WatchEvent::Kind::Back:
            return "back";
    }
    return "";
}

}  // namespace

QString looks_summary(const ChannelLooks& looks) {
    QStringList parts;
    for (const ChannelLook look : {ChannelLook::Energised, ChannelLook::Released}) {
        std::vector<int> channels;
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            if (looks[static_cast<std::size_t>(channel - 1)] == look) {
                channels.push_back(channel);
            }
        }
        if (!channels.empty()) {
            parts.append(look_name(look) + u' ' + channel_list(channels));
        }
    }
    return parts.join(QStringLiteral(", "));
}

QString look_name(ChannelLook look) {
    switch (look) {
        case ChannelLook::Energised:
            return QStringLiteral("energised");
        case ChannelLook::Released:
            return QStringLiteral("released");
        case ChannelLook::Unknown:
        case ChannelLook::PortClosed:
            break;
    }
    return QStringLiteral("unknown");
}

QJsonArray channels_json(const ChannelLooks& looks, const QStringList& names) {
    QJsonArray channels;
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        channels.append(QJsonObject{
            {QStringLiteral("channel"), channel},
            {QStringLiteral("state"), look_name(looks[static_cast<std::size_t>(channel - 1)])},
            {QStringLiteral("name"), names.value(channel - 1)},
        });
    }
    return channels;
}

QString channel_lines(const ChannelLooks& looks, const QStringList& names,
                      const std::vector<int>& only) {
    QString text;
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        if (!only.empty() && std::find(only.begin(), only.end(), channel) == only.end()) {
            continue;
        }
        const QString name = names.value(channel - 1);
        const QString look = look_name(looks[static_cast<std::size_t>(channel - 1)]);
        text += name.isEmpty()
                    ? QStringLiteral("%1  %2\n").arg(channel, 2).arg(look)
                    : QStringLiteral("%1  %2  %3\n").arg(channel, 2).arg(look, -9).arg(name);
    }
    return text;
}

QString channel_list(const std::vector<int>& channels) {
    QStringList words;
    for (std::size_t i = 0; i < channels.size();) {
        std::size_t end = i;
        while (end + 1 < channels.size() && channels[end + 1] == channels[end] + 1) {
            ++end;
        }
        words.append(end > i + 1 ? QStringLiteral("%1-%2").arg(channels[i]).arg(channels[end])
                                 : QString::number(channels[i]));
        if (end == i + 1) {
            words.append(QString::number(channels[end]));
        }
        i = end + 1;
    }
    return words.join(u' ');
}

QString watch_event_text(const WatchEvent& event, const QString& time) {
    QString text = time + u' ' + QString::fromLatin1(kind_name(event.kind));
    switch (event.kind) {
        case WatchEvent::Kind::Initial:
        case WatchEvent::Kind::Back:
            return text + u' ' + looks_summary(event.looks);
        case WatchEvent::Kind::Change: {
            QStringList changes;
            for (const int channel : event.changed) {
                const auto i = static_cast<std::size_t>(channel - 1);
                changes.append(QStringLiteral("%1 %2 -> %3")
                                   .arg(channel)
                                   .arg(look_name(event.before[i]), look_name(event.looks[i])));
            }
            return text + u' ' + changes.join(QStringLiteral(", "));
        }
        case WatchEvent::Kind::Silent:
            break;
    }
    return text + QStringLiteral(" no reply for 5 ticks: all channels unknown");
}

QJsonObject watch_event_json(const WatchEvent& event, const QString& time) {
    QJsonObject object{{QStringLiteral("event"), QString::fromLatin1(kind_name(event.kind))},
                       {QStringLiteral("time"), time}};
    if (event.kind == WatchEvent::Kind::Change) {
        QJsonArray changes;
        for (const int channel : event.changed) {
            const auto i = static_cast<std::size_t>(channel - 1);
            changes.append(QJsonObject{{QStringLiteral("channel"), channel},
                                       {QStringLiteral("from"), look_name(event.before[i])},
                                       {QStringLiteral("to"), look_name(event.looks[i])}});
        }
        object.insert(QStringLiteral("changes"), changes);
    }
    object.insert(QStringLiteral("channels"), channels_json(event.looks, {}));
    return object;
}

void print_line(const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
    if (!text.endsWith(u'\n')) {
        std::fputc('\n', stdout);
    }
    std::fflush(stdout);
}

void print_json(const QJsonObject& document) {
    print_line(QString::fromUtf8(QJsonDocument(document).toJson(QJsonDocument::Compact)));
}

void print_error(const QString& text) {
    std::fprintf(stderr, "relayctl: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

}  // namespace relay
