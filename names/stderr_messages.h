#pragma once

#include "names/message_sink.h"

namespace relay {

// The name store's messages, for a program without windows: one line each on
// stderr, and they never wait for anybody.
class StderrMessages : public MessageSink {
public:
    void show_message(Icon icon, const QString& title, const QString& text) override;
    int count() const { return m_count; }

private:
    int m_count = 0;
};

}  // namespace relay
