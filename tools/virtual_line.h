#pragma once

#include "protocol/command_reader.h"
#include "tools/virtual_board.h"

#include <QByteArray>
#include <QString>

#include <vector>

namespace relay {

// Faults the line can put on the boards' replies. A count n means every n-th
// reply on the line (the n-th, 2n-th, ...); 0 means never.
struct FaultPlan {
    int drop_every = 0;
    int corrupt_every = 0;  // checksum byte inverted
    int split_every = 0;    // sent as 3 bytes, then the rest split_gap_ms later
    int noise_every = 0;    // a stray 0x00 goes out just before the reply
    int delay_ms = 0;       // every reply waits this long after its command
    int split_gap_ms = 20;
    bool silent = false;  // the boards neither act nor answer
};

// What went out on the line, delay_ms after the bytes that caused it arrived.
struct LineWrite {
    int delay_ms = 0;
    QByteArray bytes;
    QString note;
};

// What the line made of incoming bytes: a frame, or bytes that were not one.
struct LineHeard {
    QByteArray bytes;
    QString note;
};

struct LineTraffic {
    std::vector<LineHeard> heard;
    std::vector<LineWrite> writes;
};

// The RS-485 line with its boards: assembles command frames from the byte
// stream, lets the boards answer, and applies the faults.
class VirtualLine {
public:
    VirtualLine(std::vector<VirtualBoard> boards, FaultPlan faults);

    // now_ms: a monotonic clock, for the gap between bytes.
    LineTraffic receive(const QByteArray& bytes, qint64 now_ms);

    void set_silent(bool silent) { m_faults.silent = silent; }
    bool silent() const { return m_faults.silent; }
    const std::vector<VirtualBoard>& boards() const { return m_boards; }
    std::vector<VirtualBoard>& boards() { return m_boards; }

private:
    void take_frame(const Frame& frame, LineTraffic& traffic);
    void send_reply(Frame reply, const QString& who, LineTraffic& traffic, LineHeard& heard);

    std::vector<VirtualBoard> m_boards;
    FaultPlan m_faults;
    CommandReader m_reader;
    int m_replies = 0;
};

}  // namespace relay
