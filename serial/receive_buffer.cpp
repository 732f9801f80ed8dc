#include "serial/receive_buffer.h"

#include <algorithm>

namespace relay {

std::optional<Frame> ReceiveBuffer::arrive(QByteArrayView bytes) {
    const qsizetype room = std::max<qsizetype>(0, Capacity - m_waiting.size());
    m_waiting.append(bytes.first(std::min(room, bytes.size())));
    Frame group{};
    if (m_waiting.size() < static_cast<qsizetype>(group.size())) {
        return std::nullopt;
    }
    std::copy_n(m_waiting.constData(), group.size(), reinterpret_cast<char*>(group.data()));
    m_waiting.remove(0, static_cast<qsizetype>(group.size()));
    return group;
}

}  // namespace relay
