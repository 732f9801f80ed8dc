#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace relay {

// relayd's own small files, kept across restarts: the node ids now, and what
// later parts keep (schedules' last runs, history). One directory, resolved
// once at start. Each write replaces its file whole (QSaveFile), so a crash or
// a power cut leaves the old file or the new one, never half of either.
// Nothing here refuses to run: a write that fails says why, and the caller
// logs it and goes on with what it has.
class StateDirectory {
public:
    explicit StateDirectory(QString path);

    // given (--state-dir, the state-dir key) first; then $STATE_DIRECTORY,
    // which systemd sets for StateDirectory= (the first of several); then
    // $XDG_STATE_HOME/relayd; then ~/.local/state/relayd.
    static QString resolve(const QString& given);

    const QString& path() const { return m_path; }
    QString file_path(const QString& name) const;
    // The file's bytes; nothing when it is missing or cannot be read.
    std::optional<QByteArray> read(const QString& name) const;
    // Makes the directory when it is missing.
    bool write(const QString& name, const QByteArray& bytes, QString* error) const;

private:
    QString m_path;
};

}  // namespace relay
