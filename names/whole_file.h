#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace relay {

// A small file read or replaced whole. A replacement goes through a file of
// its own that is renamed over the old one (QSaveFile), so a crash or a
// power cut leaves the old file or the new, never half of either.

// Nothing, and why, when it cannot be read.
std::optional<QByteArray> read_whole_file(const QString& path, QString* error);

// False and why when it was not replaced; *short_write tells a write that
// stopped short (a full disk, a size limit), which QSaveFile would commit.
bool replace_whole_file(const QString& path, const QByteArray& bytes, QString* error,
                        bool* short_write = nullptr);

}  // namespace relay
