#include "names/profile_file.h"

#include <functional>

#include "names/gbk_codec.h"
#include "names/ini_document.h"
#include "names/profile_cache.h"
#include "names/whole_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <optional>

namespace relay {

namespace {

constexpr qint64 ChunkBytes = 64 * 1024;

bool file_present(const QString& path) {
    return QFileInfo(path).isFile();
}

void report_unreadable_file(MessageSink& messages, const QString& path, const QString& reason) {
    messages.show_message(MessageSink::Icon::Error, QString(),
                          QStringLiteral("无法读取 %1：%2").arg(shown_path(path), reason));
}

bool save_atomically(const QString& path, const QByteArray& bytes, QString* error) {
    bool short_write = false;
    if (replace_whole_file(path, bytes, error, &short_write)) {
        return true;
    }
    if (short_write && error->isEmpty()) {
        *error = QStringLiteral("写入不完整，磁盘可能已满");
    }
    return false;
}

// Why the document refused the entry.
QString refusal_reason(const GbkCodec& codec, const ProfileEntry& entry) {
    for (const QString* text : {&entry.section, &entry.key, &entry.value}) {
        const QString problem = IniDocument::line_text_problem(codec, *text);
        if (!problem.isEmpty()) {
            return QStringLiteral("“%1”%2").arg(*text, problem);
        }
    }
    return QStringLiteral("键名“%1”含有“=”或以“[”开头").arg(entry.key);
}

// Reads the file (when there is one), lets edit change it in memory and
// replaces the file atomically with the result.
bool edit_profile(const QString& path, QString* error,
                  const std::function<bool(IniDocument&, const GbkCodec&)>& edit) {
    const GbkCodec codec;
    if (!codec.is_valid()) {
        *error = QStringLiteral("系统缺少 GBK 编码转换");
        return false;
    }
    QByteArray bytes;
    const QFileInfo info(path);
    if (info.exists()) {
        if (!info.isWritable()) {
            *error = QStringLiteral("文件为只读");
            return false;
        }
        std::optional<QByteArray> existing = read_whole_file(path, error);
        if (!existing) {
            return false;
        }
        bytes = std::move(*existing);
    }
    IniDocument document(bytes, codec);
    if (!edit(document, codec)) {
        return false;
    }
    return save_atomically(path, document.to_bytes(), error);
}

}  // namespace

bool write_profile_values(const QString& path, const std::vector<ProfileEntry>& entries,
                          QString* error) {
    return edit_profile(path, error, [&](IniDocument& document, const GbkCodec& codec) {
        for (const ProfileEntry& entry : entries) {
            if (!document.set_value(entry.section, entry.key, entry.value)) {
                *error = refusal_reason(codec, entry);
                return false;
            }
        }
        return true;
    });
}

bool make_section_header_exact(const QString& path, const QString& section, QString* error) {
    return edit_profile(path, error, [&](IniDocument& document, const GbkCodec&) {
        if (!document.make_header_exact(section)) {
            *error = QStringLiteral("找不到节 [%1]").arg(section);
            return false;
        }
        return true;
    });
}

QStringList read_profile_strings(MessageSink& messages, ProfileCache& cache, const QString& path,
                                 const QString& section, const QStringList& keys) {
    const ProfileCache::Look look = cache.look(path);
    QStringList values;
    values.reserve(keys.size());
    for (const QString& key : keys) {
        switch (look.outcome) {
            case ProfileCache::Look::Outcome::Missing:
                report_missing_file(messages, path);
                values.append(QString());
                break;
            case ProfileCache::Look::Outcome::Unreadable:
                report_unreadable_file(messages, path, look.error);
                values.append(QString());
                break;
            case ProfileCache::Look::Outcome::Parsed:
                values.append(cache.value(section, key));
                break;
        }
    }
    return values;
}

QString read_profile_string(MessageSink& messages, ProfileCache& cache, const QString& path,
                            const QString& section, const QString& key) {
    return read_profile_strings(messages, cache, path, section, {key}).front();
}

QString read_profile_string(MessageSink& messages, const QString& path, const QString& section,
                            const QString& key) {
    ProfileCache cache;
    return read_profile_string(messages, cache, path, section, key);
}

int write_profile_string(MessageSink& messages, const QString& path, const QString& section,
                         const QString& key, const QString& value, QString* error) {
    if (!file_present(path)) {
        report_missing_file(messages, path);
        return 0;
    }
    QString reason;
    const bool written = write_profile_values(path, {{section, key, value}}, &reason);
    if (error) {
        *error = reason;
    }
    return written ? 1 : 0;
}

bool section_exists(MessageSink& messages, const QString& path, const QString& section) {
    if (!file_present(path)) {
        report_missing_file(messages, path);
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        report_unreadable_file(messages, path, file.errorString());
        return false;
    }
    const GbkCodec codec;
    const QString header = u'[' + section + u']';
    // Read in chunks, a line at a time: a line is whole once a byte follows it
    // (a CR at the end of a chunk may be the first half of CR LF) or at the end.
    QByteArray pending;
    for (bool at_end = false; !at_end;) {
        const QByteArray chunk = file.read(ChunkBytes);
        if (file.error() != QFileDevice::NoError) {
            report_unreadable_file(messages, path, file.errorString());
            return false;
        }
        at_end = chunk.isEmpty();
        pending += chunk;
        qsizetype begin = 0;
        while (begin < pending.size()) {
            const ProfileLine line = profile_line_at(pending, begin);
            if (!at_end && line.next == pending.size()) {
                break;
            }
            if (codec.decode(QByteArrayView(pending).sliced(begin, line.text_end - begin)) ==
                header) {
                return true;
            }
            begin = line.next;
        }
        pending.remove(0, begin);
    }
    return false;
}

void report_missing_file(MessageSink& messages, const QString& path) {
    messages.show_message(MessageSink::Icon::Error, QStringLiteral("File Not Found"),
                          shown_path(path) + QStringLiteral(" not found."));
}

QString unstorable_text_reason(const QString& text) {
    return IniDocument::line_text_problem(GbkCodec(), text);
}

QString shown_path(const QString& path) {
    return QDir::toNativeSeparators(path);
}

}  // namespace relay
