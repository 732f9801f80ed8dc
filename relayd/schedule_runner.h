#pragma once

#include "relayd/clock_check.h"
#include "relayd/state_directory.h"
#include "schedule/scheduler.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <set>
#include <vector>

namespace relay {

class RelayBridge;

// What the schedule keeps in the state directory: the page's entries and,
// per entry, what ran.
struct ScheduleState {
    struct PageEntry {
        QString name;
        QString text;
        QString by;
        qint64 added_ms = -1;
    };
    std::vector<PageEntry> entries;
    std::map<QString, Scheduler::Kept> kept;

    static ScheduleState read(const StateDirectory& state);
    QByteArray bytes() const;
};

// "on 3; off 1, 2": what a command does, for the log and the page.
QString schedule_command_text(const ChannelCommand& command);

// relayd's schedules: the entries of its config and those added on the page,
// run through the bridge like every other command. What ran and the page's
// entries are kept in the state directory, so a restart knows what was missed
// and what already ran; windows are asserted again when a board comes back.
class ScheduleRunner : public QObject {
    Q_OBJECT
public:
    // Steps of the clock and changes of its validity are noticed within this.
    static constexpr int TickMs = 1000;
    static constexpr const char* StateFile = "schedules.json";

    ScheduleRunner(RelayBridge& bridge, StateDirectory state, QObject* parent = nullptr);

    // Once the boards are known.
    void start();
    // Nothing more runs (relayd stops); what ran is kept.
    void stop();
    // Every entry with where it came from and its next run, and the clock.
    QJsonObject listing() const;
    // A page entry added or changed by who; false and why when refused.
    bool put(const QString& name, const QString& text, const QString& who, QString* refusal);
    bool remove(const QString& name, const QString& who, QString* refusal);

Q_SIGNALS:
    // Every run, skipped ones included: for MQTT and the page.
    void ran(const QJsonObject& event);
    // The entries, their next runs or the clock's validity changed.
    void changed();

private:
    struct Source {
        QString name;
        QString text;
        QString by;  // the page's user; empty for the config file
        qint64 added_ms = -1;
        QString refusal;  // a page entry the rules no longer allow
    };

    ScheduleContext context() const;
    void apply();
    void wake();
    void carry_out(const ScheduleRun& run);
    void keep();
    QJsonObject event(const ScheduleRun& run) const;
    QString local_text(qint64 ms) const;

    RelayBridge& m_bridge;
    StateDirectory m_state;
    ClockCheck m_check;
    Scheduler m_scheduler;
    std::vector<Source> m_config;
    std::vector<Source> m_page;
    ClockCheck::Verdict m_verdict;
    std::map<QString, Scheduler::Kept> m_written;
    QString m_write_error;
    std::set<std::uint8_t> m_lost;  // boards gone offline, asserted again when back
    QElapsedTimer m_monotonic;
    QTimer m_wake;
    QTimer m_tick;
    bool m_started = false;
    bool m_dirty = false;  // the page's entries changed since they were written
};

}  // namespace relay
