#include "ui/channel_name_label.h"

#include "ui/left_click.h"

#include <QMouseEvent>

namespace relay {

namespace {

QString initial_name(int channel) {
    static const char* const names[] = {
        "第一路", "第二路", "第三路",   "第四路",   "第五路",   "第六路",   "第七路",   "第八路",
        "第九路", "第十路", "第十一路", "第十二路", "第十三路", "第十四路", "第十五路", "第十六路"};
    return channel >= 1 && channel <= 16 ? QString::fromUtf8(names[channel - 1]) : QString();
}

}  // namespace

ChannelNameLabel::ChannelNameLabel(int channel, QWidget* parent)
    : QLabel(initial_name(channel), parent), m_channel(channel) {
    setObjectName(QStringLiteral("Label4(%1)").arg(channel));
    setProperty("index", channel);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void ChannelNameLabel::mousePressEvent(QMouseEvent* event) {
    take_left_press(event);
}

void ChannelNameLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (completes_left_click(*this, event)) {
        Q_EMIT clicked(m_channel);
    }
}

}  // namespace relay
