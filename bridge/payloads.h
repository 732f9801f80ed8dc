#pragma once

#include "bridge/topics.h"
#include "controller/bus_poller.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

namespace relay {

// What one board is called: the window title of name.txt and its 16 names.
struct BoardNames {
    QString title;
    QStringList channels;  // 16, "" where none is stored
    bool operator==(const BoardNames& other) const {
        return title == other.title && channels == other.channels;
    }
};

QString board_display_name(const BoardNames& names, std::uint8_t address);
QString channel_display_name(const BoardNames& names, int channel);

// Home Assistant's config of one channel's switch.
QByteArray discovery_payload(const Topics& topics, const BoardNames& names, std::uint8_t address,
                             int channel);

// The board's retained document for scripts.
QByteArray board_document(const BoardState& board, const BoardNames& names,
                          const QDateTime& last_reply);

QByteArray on_off(bool on);

}  // namespace relay
