#pragma once

#include <QString>
#include <QtGlobal>

namespace relay {

// Whether the system's wall clock can be trusted to run schedules by. A box
// without a real-time clock boots in 1970, or at the time it last saved,
// until an NTP client sets it; schedules run by such a clock would switch at
// the wrong hours, so they wait. The clock counts as valid when the kernel
// says an NTP client keeps it synchronized, or systemd-timesyncd says so, or
// it was set from a battery-backed real-time clock at boot, or the operator
// trusts it (--trust-clock); and never while it reads a time before relayd
// was built.
class ClockCheck {
public:
    struct Verdict {
        bool valid = false;
        QString why;  // in words, for the log and the page
        bool operator==(const Verdict& other) const {
            return valid == other.valid && why == other.why;
        }
    };

    explicit ClockCheck(bool trusted) : m_trusted(trusted) {}

    Verdict check(qint64 wall_ms) const;

private:
    bool m_trusted = false;
};

}  // namespace relay
