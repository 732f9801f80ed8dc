#pragma once

#include <QString>

namespace relay {

// Modal messages to the operator. The window shows real message boxes; tests
// record what would have been shown.
class MessageSink {
public:
    enum class Icon { None, Information, Warning, Error };

    virtual ~MessageSink() = default;

    // Returns once the operator has closed the message (one OK button).
    // An empty title means the application's own name.
    virtual void show_message(Icon icon, const QString& title, const QString& text) = 0;
};

}  // namespace relay
