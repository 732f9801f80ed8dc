#include "protocol/command_reader.h"

#include <cstring>

namespace relay {

std::vector<CommandReader::Piece> CommandReader::take(const QByteArray& bytes,
                                                      std::int64_t now_ms) {
    std::vector<Piece> pieces;
    if (!m_pending.isEmpty() && now_ms - m_last_byte_ms > GapMs) {
        pieces.push_back({Piece::Kind::Forgotten, m_pending, {}});
        m_pending.clear();
    }
    m_last_byte_ms = now_ms;
    m_pending.append(bytes);
    const auto size = static_cast<qsizetype>(Frame{}.size());
    while (!m_pending.isEmpty()) {
        const qsizetype start = m_pending.indexOf(static_cast<char>(CommandHeader));
        if (start != 0) {
            const qsizetype skip = start < 0 ? m_pending.size() : start;
            pieces.push_back({Piece::Kind::Skipped, m_pending.left(skip), {}});
            m_pending.remove(0, skip);
            continue;
        }
        if (m_pending.size() < size) {
            break;
        }
        Piece piece{Piece::Kind::Frame, m_pending.left(size), {}};
        std::memcpy(piece.frame.data(), m_pending.constData(), piece.frame.size());
        m_pending.remove(0, size);
        pieces.push_back(piece);
    }
    return pieces;
}

}  // namespace relay
