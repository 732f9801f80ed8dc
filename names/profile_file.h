#pragma once

#include "names/message_sink.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace relay {

class ProfileCache;

// INI-style profile files in GBK, addressed by full path. Every call reads the
// file as it is at that moment; a ProfileCache only spares parsing it again.

// One key to write.
struct ProfileEntry {
    QString section;
    QString key;
    QString value;
};

// The platform write, for one entry or many: writes the entries in order in one
// pass, giving exactly the bytes that writing them one at a time would give.
// A missing file is created. The file is replaced atomically and keeps its
// permissions; on failure it is left as it was and *error tells why.
bool write_profile_values(const QString& path, const std::vector<ProfileEntry>& entries,
                          QString* error);

// Rewrites the header line under which the reader finds section to exactly
// "[" + section + "]" (a header with blanks around it or inside the brackets
// reads as that section but is not the exact line).
bool make_section_header_exact(const QString& path, const QString& section, QString* error);

// The profile operations. Each first tests that a file exists at path; when
// none does, it reports the missing file and returns its neutral result.

// The value of key in section, cut to at most 254 GBK bytes (never inside a
// double-byte character) and before any NUL; "" when it is missing or empty.
// A file that exists but cannot be read is reported too.
QString read_profile_string(MessageSink& messages, const QString& path, const QString& section,
                            const QString& key);
// The same, skipping the parse while the file is unchanged.
QString read_profile_string(MessageSink& messages, ProfileCache& cache, const QString& path,
                            const QString& section, const QString& key);
// One read per key, from one look at the file; a missing or unreadable file is
// reported once for each key, as separate reads would.
QStringList read_profile_strings(MessageSink& messages, ProfileCache& cache, const QString& path,
                                 const QString& section, const QStringList& keys);

// Non-zero when written, 0 when not. A write that failed on an existing file
// is not reported; *error (when given) then tells why.
int write_profile_string(MessageSink& messages, const QString& path, const QString& section,
                         const QString& key, const QString& value, QString* error = nullptr);

// True when some line of the file is exactly "[" + section + "]": the whole
// line, case-sensitive, no trimming. Reading stops at the first such line.
bool section_exists(MessageSink& messages, const QString& path, const QString& section);

// The missing-file message: path + " not found.", "File Not Found", error icon.
void report_missing_file(MessageSink& messages, const QString& path);

// Why text cannot be stored as a value ("" when it can), for a message.
QString unstorable_text_reason(const QString& text);

// The path as the operator's system writes it.
QString shown_path(const QString& path);

}  // namespace relay
