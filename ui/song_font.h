#pragma once

#include <QFont>
#include <QString>

namespace relay {

// The face that every caption of the panel asks for.
QString song_family();

// Where the Song face is not installed, lets Qt fall back to a Song-style CJK
// face instead of whatever sans face the system offers first.
void substitute_song_face();

// The Song face at the given size, regular weight.
QFont song_font(qreal point_size);

}  // namespace relay
