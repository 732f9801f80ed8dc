#include "names/stderr_messages.h"

#include <QCoreApplication>

#include <cstdio>

namespace relay {

void StderrMessages::show_message(Icon, const QString& title, const QString& text) {
    ++m_count;
    // "program: message", as the program's own lines are.
    const QString line = QCoreApplication::applicationName() + QStringLiteral(": ") +
                         (title.isEmpty() ? text : title + QStringLiteral(": ") + text);
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

}  // namespace relay
