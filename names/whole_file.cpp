#include "names/whole_file.h"

#include <QFile>
#include <QSaveFile>

namespace relay {

std::optional<QByteArray> read_whole_file(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return std::nullopt;
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        *error = file.errorString();
        return std::nullopt;
    }
    return bytes;
}

bool replace_whole_file(const QString& path, const QByteArray& bytes, QString* error,
                        bool* short_write) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    if (file.write(bytes) != bytes.size()) {
        if (short_write) {
            *short_write = true;
        }
        *error = file.error() != QFileDevice::NoError ? file.errorString() : QString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

}  // namespace relay
