#pragma once

#include "cli/relay_session.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <vector>

namespace relay {

// The state words of the output: "energised", "released", "unknown".
QString look_name(ChannelLook look);

// {"channel":n,"state":...,"name":...} for every channel; names may be empty.
QJsonArray channels_json(const ChannelLooks& looks, const QStringList& names);
// One line per channel: number, state, name. Only the given channels if any.
QString channel_lines(const ChannelLooks& looks, const QStringList& names,
                      const std::vector<int>& only = {});

QString channel_list(const std::vector<int>& channels);
// "energised 1 3, released 2 4-16"
QString looks_summary(const ChannelLooks& looks);

// One line of watch output, stamped with the local time.
QString watch_event_text(const WatchEvent& event, const QString& time);
QJsonObject watch_event_json(const WatchEvent& event, const QString& time);

void print_line(const QString& text);
void print_json(const QJsonObject& document);
void print_error(const QString& text);

}  // namespace relay
