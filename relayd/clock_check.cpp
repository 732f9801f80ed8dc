#include "relayd/clock_check.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>

#include <sys/timex.h>

namespace relay {

namespace {

qint64 built_ms() {
    static const qint64 built =
        QLocale::c()
            .toDate(QString::fromLatin1(__DATE__).simplified(), QStringLiteral("MMM d yyyy"))
            .startOfDay(Qt::UTC)
            .toMSecsSinceEpoch();
    return built;
}

// The kernel's own word, when relayd may ask: a system call filter may refuse
// adjtimex, and a refusal says nothing.
bool kernel_synchronized() {
    timex state{};
    const int clock = ::adjtimex(&state);
    return clock != -1 && clock != TIME_ERROR && !(state.status & STA_UNSYNC);
}

bool set_from_rtc() {
    for (const QFileInfo& rtc :
         QDir(QStringLiteral("/sys/class/rtc")).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile hctosys(rtc.filePath() + QStringLiteral("/hctosys"));
        if (hctosys.open(QIODevice::ReadOnly) && hctosys.readAll().trimmed() == "1") {
            return true;
        }
    }
    return false;
}

}  // namespace

ClockCheck::Verdict ClockCheck::check(qint64 wall_ms) const {
    if (wall_ms < built_ms()) {
        return {false,
                QStringLiteral("the clock reads %1, before relayd was built")
                    .arg(QDateTime::fromMSecsSinceEpoch(wall_ms, Qt::UTC).toString(Qt::ISODate))};
    }
    if (m_trusted) {
        return {true, QStringLiteral("trusted (--trust-clock)")};
    }
    if (kernel_synchronized() ||
        QFile::exists(QStringLiteral("/run/systemd/timesync/synchronized"))) {
        return {true, QStringLiteral("synchronized by NTP")};
    }
    if (set_from_rtc()) {
        return {true, QStringLiteral("set from the real-time clock at boot")};
    }
    return {false, QStringLiteral("neither synchronized by NTP nor set from a real-time clock "
                                  "(--trust-clock if it is set another way)")};
}

}  // namespace relay
