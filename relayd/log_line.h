#pragma once

#include <QString>

#include <cstdio>

namespace relay {

// relayd's log: one line per event on stderr, for the journal.
inline void log_line(const QString& line) {
    std::fprintf(stderr, "relayd: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

}  // namespace relay
