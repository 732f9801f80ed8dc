#include "ui/song_font.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QStringList>

namespace relay {

QString song_family() {
    return QStringLiteral("宋体");
}

void substitute_song_face() {
    if (QFontDatabase::hasFamily(song_family())) {
        return;
    }
    // Serif (Song/Ming) faces first: their strokes are what the layout was drawn for.
    QFont::insertSubstitutions(
        song_family(), {QStringLiteral("SimSun"), QStringLiteral("NSimSun"),
                        QStringLiteral("Noto Serif CJK SC"), QStringLiteral("Source Han Serif SC"),
                        QStringLiteral("AR PL UMing CN"), QStringLiteral("Noto Sans CJK SC")});
}

QFont song_font(qreal point_size) {
    QFont font(song_family());
    font.setPointSizeF(point_size);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    return font;
}

int ink_drop(const QFont& font) {
    const QFontMetrics metrics(font);
    const QRect ink = metrics.tightBoundingRect(QStringLiteral("国路"));
    // Both centres measured downwards from the baseline.
    const qreal line_centre = (metrics.descent() - metrics.ascent()) / 2.0;
    const qreal ink_centre = (ink.top() + ink.bottom()) / 2.0;
    return qMax(0, qRound(ink_centre - line_centre));
}

}  // namespace relay
