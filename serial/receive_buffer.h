#pragma once

#include "protocol/frame.h"

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

namespace relay {

// The link's receive rule. Bytes come off the line in any pieces; an arrival
// that leaves at least 8 bytes waiting hands over exactly one group of 8, and
// the rest waits for the next arrival or the next purge. Since every frame
// write purges first, a split, shifted or stale reply spoils at most the group
// it lands in.
class ReceiveBuffer {
public:
    // Room of the line's receive buffer; bytes beyond it are lost, as in an
    // overrun.
    static constexpr qsizetype Capacity = 1024;

    std::optional<Frame> arrive(QByteArrayView bytes);
    void discard() { m_waiting.clear(); }
    qsizetype waiting() const { return m_waiting.size(); }

private:
    QByteArray m_waiting;
};

}  // namespace relay
