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

// How many pixels the ink of a line of Chinese sits below the middle of the
// font's line box. Noto's CJK faces have tall line boxes with the ink low in
// them; text centred by its line box then touches the bottom of a tight box.
int ink_drop(const QFont& font);

}  // namespace relay
