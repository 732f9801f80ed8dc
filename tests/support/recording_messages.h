#pragma once

#include "names/message_sink.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace relay::testing {

// A message box stand-in: records every message instead of showing it and
// returns at once, as if the operator had pressed OK.
class RecordingMessages : public MessageSink {
public:
    struct Message {
        Icon icon = Icon::None;
        QString title;
        QString text;
    };

    void show_message(Icon icon, const QString& title, const QString& text) override {
        m_messages.append({icon, title, text});
    }

    int count() const { return static_cast<int>(m_messages.size()); }
    QStringList texts() const {
        QStringList result;
        for (const Message& message : m_messages) {
            result.append(message.text);
        }
        return result;
    }
    void clear() { m_messages.clear(); }

    QList<Message> m_messages;
};

}  // namespace relay::testing
