#include "cli/stderr_messages.h"

#include "cli/cli_output.h"

namespace relay {

void StderrMessages::show_message(Icon, const QString& title, const QString& text) {
    ++m_count;
    print_error(title.isEmpty() ? text : title + QStringLiteral(": ") + text);
}

}  // namespace relay
