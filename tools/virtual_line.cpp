#include "tools/virtual_line.h"

#include <QStringList>

#include <utility>

namespace relay {

namespace {

constexpr qsizetype FrameSize = 8;
// Where a split reply is cut: the header, address and command go first.
constexpr qsizetype SplitAt = 3;

bool every(int n, int count) {
    return n > 0 && count % n == 0;
}

QByteArray bytes_of(const Frame& frame) {
    return QByteArray(reinterpret_cast<const char*>(frame.data()), FrameSize);
}

}  // namespace

VirtualLine::VirtualLine(std::vector<VirtualBoard> boards, FaultPlan faults)
    : m_boards(std::move(boards)), m_faults(faults) {}

LineTraffic VirtualLine::receive(const QByteArray& bytes, qint64 now_ms) {
    LineTraffic traffic;
    for (const CommandReader::Piece& piece : m_reader.take(bytes, now_ms)) {
        switch (piece.kind) {
            case CommandReader::Piece::Kind::Forgotten:
                traffic.heard.push_back({piece.bytes, QStringLiteral("incomplete frame, dropped")});
                break;
            case CommandReader::Piece::Kind::Skipped:
                traffic.heard.push_back({piece.bytes, QStringLiteral("not a command, skipped")});
                break;
            case CommandReader::Piece::Kind::Frame:
                take_frame(piece.frame, traffic);
                break;
        }
    }
    return traffic;
}

void VirtualLine::take_frame(const Frame& frame, LineTraffic& traffic) {
    LineHeard heard{bytes_of(frame), {}};
    if (frame[7] != frame_checksum(frame)) {
        heard.note = QStringLiteral("bad checksum, no answer");
    } else if (m_faults.silent) {
        heard.note = QStringLiteral("silent, no answer");
    } else {
        std::vector<Frame> answers;
        QStringList who;
        for (VirtualBoard& board : m_boards) {
            const std::uint8_t address = board.address();
            if (const auto answer = board.answer(frame)) {
                answers.push_back(*answer);
                who.append(QString::number(address));
            }
        }
        if (answers.empty()) {
            heard.note = QStringLiteral("no answer");
        } else {
            // Boards that talk at once garble each other. A line held low by
            // either driver is a fair model: the bytes AND together.
            Frame reply = answers.front();
            for (std::size_t i = 1; i < answers.size(); ++i) {
                for (std::size_t b = 0; b < reply.size(); ++b) {
                    reply[b] = static_cast<std::uint8_t>(reply[b] & answers[i][b]);
                }
            }
            const QString whom = answers.size() == 1
                                     ? QStringLiteral("board %1").arg(who.front())
                                     : QStringLiteral("collision of boards %1").arg(who.join(", "));
            heard.note = whom;
            send_reply(reply, whom, traffic, heard);
        }
    }
    traffic.heard.push_back(heard);
}

void VirtualLine::send_reply(Frame reply, const QString& who, LineTraffic& traffic,
                             LineHeard& heard) {
    ++m_replies;
    if (every(m_faults.drop_every, m_replies)) {
        heard.note = who + QStringLiteral(", reply dropped");
        return;
    }
    QString note = who;
    if (every(m_faults.corrupt_every, m_replies)) {
        reply[7] = static_cast<std::uint8_t>(~reply[7]);
        note += QStringLiteral(", checksum corrupted");
    }
    QByteArray out = bytes_of(reply);
    if (every(m_faults.noise_every, m_replies)) {
        out.prepend('\0');
        note += QStringLiteral(", noise byte first");
    }
    if (every(m_faults.split_every, m_replies)) {
        const qsizetype cut = out.size() - (FrameSize - SplitAt);
        traffic.writes.push_back(
            {m_faults.delay_ms, out.left(cut), note + QStringLiteral(", part 1 of 2")});
        traffic.writes.push_back({m_faults.delay_ms + m_faults.split_gap_ms, out.mid(cut),
                                  note + QStringLiteral(", part 2 of 2")});
        return;
    }
    traffic.writes.push_back({m_faults.delay_ms, out, note});
}

}  // namespace relay
