#pragma once

#include "names/name_file.h"
#include "support/fake_serial_port.h"
#include "support/find_control.h"
#include "support/frame_bytes.h"
#include "support/recording_messages.h"
#include "ui/main_form.h"
#include "ui/song_font.h"

#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace relay::testing {

// The main window over a fake port, with name.txt in a directory of its own
// and messages recorded instead of shown.
class PanelRig {
public:
    // A first start in an empty directory; loaded, its messages are cleared.
    explicit PanelRig(bool loaded = true) {
        start(m_dir.path(), loaded);
        m_messages.clear();
    }
    // A start over an existing directory, messages kept.
    explicit PanelRig(const QString& directory) { start(directory, true); }

    template <typename T = QWidget>
    T* find(const QString& name) const {
        return find_control<T>(*m_form, name);
    }
    QLineEdit* box(const QString& name) const { return find<QLineEdit>(name); }
    QString label(const char* array, int channel) const {
        return find<QLabel>(QStringLiteral("%1(%2)").arg(QLatin1String(array)).arg(channel))
            ->text();
    }
    void click(const QString& name) const { QTest::mouseClick(find(name), Qt::LeftButton); }

    // The frame that one Timer1 step wrote, "" when it wrote none.
    QString tick() const {
        const std::size_t before = m_port->m_written.size();
        m_form->Timer1_Timer();
        return m_port->m_written.size() == before ? QString()
                                                  : frame_to_hex(m_port->m_written.back());
    }
    void status_reply(std::uint8_t address, std::uint8_t high, std::uint8_t low) const {
        Frame reply{ReplyHeader, address, cmd::Status, 0, 0, high, low, 0};
        reply[7] = frame_checksum(reply);
        m_port->deliver(reply);
    }
    // Stores a name behind the window's back, as another program could.
    void store_name(const QString& address, int channel, const QString& name) {
        RecordingMessages quiet;
        NameFile(quiet, m_dir.path()).save_channel_name(address, QString::number(channel), name);
    }
    QString stored_name(const QString& address, int channel) const {
        RecordingMessages quiet;
        return NameFile(quiet, m_dir.path()).load_channel_name(address, QString::number(channel));
    }

    QTemporaryDir m_dir;
    RecordingMessages m_messages;
    FakeSerialPort* m_port = nullptr;
    std::unique_ptr<MainForm> m_form;

private:
    void start(const QString& directory, bool loaded) {
        substitute_song_face();
        auto port = std::make_unique<FakeSerialPort>();
        m_port = port.get();
        m_form = std::make_unique<MainForm>(directory, std::move(port), &m_messages);
        if (loaded) {
            m_form->load_form();
        }
        m_form->show();
    }
};

}  // namespace relay::testing
