#pragma once

#include <QString>

#include <functional>

namespace relay {

// Where name.txt is kept for a program in program_directory. Beside it, as
// always, while that can be written or holds a name.txt that can (a folder of
// its own, the build, the older Windows panel's file dropped in). Otherwise,
// installed system-wide, in fallback_directory, made when missing; a name.txt
// beside the program that cannot be written there is copied to it once, when
// it has none yet, so that its names are kept and can be changed.
QString name_directory_for(const QString& program_directory, const QString& fallback_directory,
                           const std::function<bool(const QString&)>& writable = {});

// A user's own: $XDG_DATA_HOME/relay-panel, else ~/.local/share/relay-panel.
// The panel's and relayctl's fallback, so that both keep one file.
QString user_name_directory();

}  // namespace relay
