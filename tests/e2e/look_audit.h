#pragma once

#include "protocol/frame.h"
#include "serial/serial_port.h"
#include "ui/main_form.h"

#include <QColor>
#include <QEvent>
#include <QLabel>
#include <QMap>
#include <QObject>
#include <QPalette>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include <algorithm>

#include <cstdint>
#include <optional>

namespace relay::testing {

// What one indicator shows, read off its box colour and its status text.
enum class Look { Energised, Released, Unknown, PortClosed, Garbled };

// Watches every look the window paints and every group the port delivers, and
// holds them against what the boards on the line can truly report.
class LookAudit : public QObject {
public:
    // Before the window takes the port, so that a look is taken ahead of the
    // window's own receive step.
    void watch_port(SerialPort& port) {
        connect(&port, &SerialPort::group_received, this, [this] { m_before = looks(); });
    }

    // After the window has wired itself: these run after its own handlers.
    void attach(MainForm& form, SerialPort& port) {
        m_form = &form;
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            QWidget* box = form.findChild<QWidget*>(QStringLiteral("Picture1(%1)").arg(channel));
            m_boxes.append(box);
            m_status.append(box->findChild<QLabel*>(QStringLiteral("Label2(%1)").arg(channel)));
            box->installEventFilter(this);
        }
        auto* timer = form.findChild<QTimer*>(QStringLiteral("Timer1"));
        connect(timer, &QTimer::timeout, this, [this] {
            ++m_ticks;
            check_coherent("after a tick");
        });
        connect(&port, &SerialPort::group_received, this,
                [this](const Frame& group) { after_group(group); });
    }

    // The bitmaps (bit 0 = channel 1) the board at this address may report
    // now; none: no report of it may be painted at all.
    void expect(std::uint8_t address, QVector<std::uint16_t> states) {
        m_allowed[address] = std::move(states);
    }

    Look look(int channel) const {
        const QColor colour = m_boxes[channel - 1]->palette().color(QPalette::Window);
        const QString text = m_status[channel - 1]->text();
        const Look painted = look_of(colour);
        const bool told = painted == Look::Energised  ? text == QStringLiteral("  吸合")
                          : painted == Look::Released ? text == QStringLiteral("  断开")
                                                      : text == QStringLiteral("状态未知");
        return told ? painted : Look::Garbled;
    }
    QVector<Look> looks() const {
        QVector<Look> all;
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            all.append(look(channel));
        }
        return all;
    }
    // "0A5F" when every channel shows a state, else what they show.
    QString shown() const {
        const QVector<Look> all = looks();
        if (const auto bits = bitmap(all)) {
            return hex4(*bits);
        }
        if (all.count(Look::Unknown) == ChannelCount) {
            return QStringLiteral("unknown");
        }
        if (all.count(Look::PortClosed) == ChannelCount) {
            return QStringLiteral("port closed");
        }
        return QStringLiteral("mixed");
    }

    int ticks() const { return m_ticks; }
    int rejected() const { return m_rejected; }
    int applied() const { return m_applied; }
    // The most groups in a row rejected between two applied ones.
    int longest_rejected_run() const { return m_longest_rejected_run; }
    // Valid replies of another board that differ from what was shown, so that
    // applying one would have shown.
    int telling_foreign() const { return m_telling_foreign; }
    const QStringList& violations() const { return m_violations; }
    QString summary() const {
        return QStringLiteral(
                   "shown %1; %2 ticks, %3 groups applied, %4 rejected (%5 in a row at "
                   "most), %6 telling foreign; violations: %7")
            .arg(shown())
            .arg(m_ticks)
            .arg(m_applied)
            .arg(m_rejected)
            .arg(m_longest_rejected_run)
            .arg(m_telling_foreign)
            .arg(m_violations.isEmpty() ? QStringLiteral("none") : m_violations.join("; "));
    }

    static QString hex4(std::uint16_t bits) {
        return QStringLiteral("%1").arg(bits, 4, 16, QLatin1Char('0')).toUpper();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // Every change of look repaints the box; this sees each one as it happens.
        if (event->type() == QEvent::PaletteChange) {
            auto* box = static_cast<QWidget*>(watched);
            on_paint(box->property("index").toInt(), box->palette().color(QPalette::Window));
        }
        return false;
    }

private:
    static Look look_of(const QColor& colour) {
        if (colour == QColor(0, 255, 0)) {
            return Look::Energised;
        }
        if (colour == QColor(255, 0, 0)) {
            return Look::Released;
        }
        if (colour == QColor(255, 255, 0)) {
            return Look::Unknown;
        }
        if (colour == QPalette().color(QPalette::Disabled, QPalette::WindowText)) {
            return Look::PortClosed;
        }
        return Look::Garbled;
    }

    static std::optional<std::uint16_t> bitmap(const QVector<Look>& all) {
        std::uint16_t bits = 0;
        for (int i = 0; i < all.size(); ++i) {
            if (all[i] == Look::Energised) {
                bits = static_cast<std::uint16_t>(bits | (1u << i));
            } else if (all[i] != Look::Released) {
                return std::nullopt;
            }
        }
        return bits;
    }

    // The tests select plain addresses; the panel's own reading is not used
    // as the judge of itself.
    std::optional<std::uint8_t> address() const {
        bool ok = false;
        const int value = m_form->address_text().toInt(&ok);
        if (!ok || value < 0 || value > 255) {
            return std::nullopt;
        }
        return static_cast<std::uint8_t>(value);
    }

    static bool sound_reply(const Frame& group) {
        unsigned sum = 0;
        for (std::size_t i = 0; i < 7; ++i) {
            sum += group[i];
        }
        return group[0] == 0x22 && group[7] == (sum & 0xFFu);
    }

    void on_paint(int channel, const QColor& colour) {
        const Look painted = look_of(colour);
        if (painted == Look::Garbled) {
            violate(QStringLiteral("channel %1 painted in %2").arg(channel).arg(colour.name()));
        }
        if (painted != Look::Energised && painted != Look::Released) {
            return;
        }
        const auto at = address();
        const QVector<std::uint16_t> states = at ? m_allowed.value(*at) : QVector<std::uint16_t>{};
        const bool on = painted == Look::Energised;
        for (const std::uint16_t state : states) {
            if (((state >> (channel - 1)) & 1u) == (on ? 1u : 0u)) {
                return;
            }
        }
        violate(QStringLiteral("channel %1 painted %2 at address %3")
                    .arg(channel)
                    .arg(on ? "energised" : "released")
                    .arg(at ? QString::number(*at) : QStringLiteral("none")));
    }

    void after_group(const Frame& group) {
        const auto at = address();
        const bool valid = sound_reply(group);
        const QVector<Look> now = looks();
        if (valid && at && group[ReplyAddress] == *at) {
            ++m_applied;
            m_rejected_run = 0;
            const auto reported =
                static_cast<std::uint16_t>(group[ReplyHighBitmap] << 8 | group[ReplyLowBitmap]);
            if (!m_allowed.value(*at).contains(reported)) {
                violate(QStringLiteral("address %1 reported %2").arg(*at).arg(hex4(reported)));
            }
            if (bitmap(now) != reported) {
                violate(QStringLiteral("reply %1 applied as %2").arg(hex4(reported), shown()));
            }
        } else {
            if (valid) {
                const auto reported =
                    static_cast<std::uint16_t>(group[ReplyHighBitmap] << 8 | group[ReplyLowBitmap]);
                m_telling_foreign += bitmap(m_before) != reported ? 1 : 0;
            } else {
                ++m_rejected;
                m_longest_rejected_run = std::max(m_longest_rejected_run, ++m_rejected_run);
            }
            if (now != m_before) {
                violate(QStringLiteral("a %1 group changed the looks")
                            .arg(valid ? "foreign" : "rejected"));
            }
        }
        check_coherent("after a group");
    }

    // A reply paints all sixteen and the watchdog blanks all sixteen.
    void check_coherent(const char* when) {
        const QVector<Look> now = looks();
        const int blank = now.count(Look::Unknown) + now.count(Look::PortClosed);
        if (now.contains(Look::Garbled) || (blank != 0 && blank != ChannelCount)) {
            violate(QStringLiteral("mixed looks %1").arg(QLatin1String(when)));
        }
    }

    void violate(const QString& text) {
        if (m_violations.size() < 20) {
            m_violations.append(text);
        }
    }

    MainForm* m_form = nullptr;
    QVector<QWidget*> m_boxes;
    QVector<QLabel*> m_status;
    QMap<std::uint8_t, QVector<std::uint16_t>> m_allowed;
    QVector<Look> m_before;
    QStringList m_violations;
    int m_ticks = 0;
    int m_rejected = 0;
    int m_applied = 0;
    int m_telling_foreign = 0;
    int m_rejected_run = 0;
    int m_longest_rejected_run = 0;
};

}  // namespace relay::testing
