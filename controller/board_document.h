#pragma once

#include "controller/bus_poller.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <array>

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

// Per channel, the pulse length it is configured with (0: none).
using PulseLengths = std::array<int, ChannelCount>;

// A board as every adapter shows it: address, name, availability, the time of
// the reply it was made from, and each channel's name and state (null when
// never heard).
QByteArray board_document(const BoardState& board, const BoardNames& names,
                          const QDateTime& last_reply, const PulseLengths& pulses = {});

QByteArray on_off(bool on);

}  // namespace relay
