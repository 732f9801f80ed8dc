#pragma once

#include <QLabel>

namespace relay {

// One channel's name (Label4). A click on it asks for the rename dialog.
class ChannelNameLabel : public QLabel {
    Q_OBJECT
public:
    // Shows the built-in name until the stored names are loaded.
    ChannelNameLabel(int channel, QWidget* parent);

    int channel() const { return m_channel; }

Q_SIGNALS:
    void clicked(int channel);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    int m_channel = 0;
};

}  // namespace relay
