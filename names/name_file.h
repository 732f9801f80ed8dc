#pragma once

#include "names/message_sink.h"
#include "names/profile_cache.h"

#include <QString>
#include <QStringList>

#include <functional>

namespace relay {

// name.txt beside the program: the window title and the 16 channel names of
// every board address, keyed by the address text exactly as typed.
class NameFile {
public:
    // directory is the program's own directory (tests pass a temporary one).
    NameFile(MessageSink& messages, QString directory);

    // directory + "/name.txt", formed anew for every operation.
    QString name_file_path() const;

    // Writes the default contents when the marker section is missing, else
    // reads the title; hands the title to set_title in both cases, before any
    // channel key is written.
    void init_name_file(const std::function<void(const QString&)>& set_title);

    // For programs that only read: whether there is a file at all, so that a
    // missing one is no message and is never created.
    bool exists() const;
    // The stored window title; the default one when the file or key is missing.
    QString load_title();

    // The 16 stored names of the address, channel 1 first ("" where missing).
    QStringList load_channel_names(const QString& address_text);

    QString load_channel_name(const QString& address_text, const QString& channel_text);

    // Returns false when the name was not stored (the operator has been told why).
    bool save_channel_name(const QString& address_text, const QString& channel_text,
                           const QString& name);

private:
    MessageSink& m_messages;
    QString m_directory;
    ProfileCache m_cache;
};

}  // namespace relay
