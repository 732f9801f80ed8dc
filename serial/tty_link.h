#pragma once

#include <QString>

namespace relay {

// A symbolic link to a tty, such as com1 beside the panel, that lives as long
// as its owner. A link that a later owner has taken over is left alone.
class TtyLink {
public:
    TtyLink() = default;
    ~TtyLink() { remove(); }
    TtyLink(const TtyLink&) = delete;
    TtyLink& operator=(const TtyLink&) = delete;

    // Replaces a stale link (most likely left by a killed owner); refuses to
    // replace anything that is not a link. Missing folders are made.
    bool make(const QString& link_path, const QString& tty_path, QString* error);
    void remove();

private:
    QString m_path;
    QString m_target;
};

}  // namespace relay
