#pragma once

#include "protocol/frame.h"
#include "serial/serial_port.h"
#include "ui/main_form.h"

#include <QColor>
#include <QMap>
#include <QObject>
#include <QPalette>
#include <QStringList>
#include <QTimer>
#include <QVector>
#include <QtTest>

#include <cstdint>
#include <numeric>

namespace relay::testing {

// Holds every group the port delivers against what the boards on the line can
// truly report: a group for the selected address paints exactly its state,
// any other group changes no look.
class LookAudit : public QObject {
public:
    // Before the window takes the port, so that this runs ahead of its receive step.
    void watch_port(SerialPort& port) {
        connect(&port, &SerialPort::group_received, this, [this] { m_before = shown(); });
    }
    // After the window has wired itself, so that these run after its own handlers.
    void attach(MainForm& form, SerialPort& port) {
        m_form = &form;
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            m_boxes.append(form.findChild<QWidget*>(QStringLiteral("Picture1(%1)").arg(channel)));
        }
        connect(form.findChild<QTimer*>(QStringLiteral("Timer1")), &QTimer::timeout, this,
                [this] { ++m_ticks; });
        connect(&port, &SerialPort::group_received, this,
                [this](const Frame& group) { after_group(group); });
    }

    // The bitmaps (bit 0 = channel 1) the board at this address may report
    // now; none: no report of it may be painted at all.
    void expect(int address, QVector<std::uint16_t> states) { m_allowed[address] = states; }

    // "0A5F" when every channel shows a state, "unknown" or "port closed" when
    // all show that, else one mark per channel from 16 down to 1.
    QString shown() const {
        QString marks;
        for (const QWidget* box : m_boxes) {
            const QColor colour = box->palette().color(QPalette::Window);
            marks.prepend(colour == Qt::green    ? '1'
                          : colour == Qt::red    ? '0'
                          : colour == Qt::yellow ? 'u'
                          : colour == QPalette().color(QPalette::Disabled, QPalette::WindowText)
                              ? 'c'
                              : '?');
        }
        bool bits = false;
        const uint bitmap = marks.toUInt(&bits, 2);
        return bits                                  ? hex4(bitmap)
               : marks == QString(ChannelCount, 'u') ? QStringLiteral("unknown")
               : marks == QString(ChannelCount, 'c') ? QStringLiteral("port closed")
                                                     : marks;
    }

    bool wait_ticks(int count) const {
        const int until = m_ticks + count;
        return QTest::qWaitFor([&] { return m_ticks >= until; }, 10000);
    }
    // Sound replies of another board that differ from what was shown, so that
    // applying one would have shown.
    int telling_foreign() const { return m_telling_foreign; }
    const QStringList& violations() const { return m_violations; }
    QString summary() const {
        return QStringLiteral("shown %1 after %2 ticks, %3 telling foreign; %4 violations: %5")
            .arg(shown())
            .arg(m_ticks)
            .arg(m_telling_foreign)
            .arg(m_violations.size())
            .arg(m_violations.mid(0, 5).join("; "));
    }

    static QString hex4(uint bits) {
        return QStringLiteral("%1").arg(bits, 4, 16, QLatin1Char('0')).toUpper();
    }

private:
    void after_group(const Frame& group) {
        // The tests select plain addresses; the panel's own reading of them and
        // its own checksum are not the judges of themselves.
        bool plain = false;
        const int address = m_form->address_text().toInt(&plain);
        const bool sound =
            group[0] == 0x22 &&
            group[7] == (std::accumulate(group.begin(), group.begin() + 7, 0u) & 0xFF);
        const QString reported = hex4(group[ReplyHighBitmap] << 8 | group[ReplyLowBitmap]);
        if (sound && plain && group[ReplyAddress] == address) {
            if (!m_allowed.value(address).contains(reported.toUInt(nullptr, 16)) ||
                shown() != reported) {
                m_violations.append(QStringLiteral("address %1 reported %2, shown %3")
                                        .arg(address)
                                        .arg(reported, shown()));
            }
            return;
        }
        m_telling_foreign += sound && reported != m_before ? 1 : 0;
        if (shown() != m_before) {
            m_violations.append(QStringLiteral("a %1 group turned %2 into %3")
                                    .arg(sound ? "foreign" : "rejected", m_before, shown()));
        }
    }

    MainForm* m_form = nullptr;
    QVector<QWidget*> m_boxes;
    QMap<int, QVector<std::uint16_t>> m_allowed;
    QString m_before;
    QStringList m_violations;
    int m_ticks = 0;
    int m_telling_foreign = 0;
};

}  // namespace relay::testing
