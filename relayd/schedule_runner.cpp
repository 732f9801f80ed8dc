#include "relayd/schedule_runner.h"

#include "controller/command_event.h"
#include "relayd/log_line.h"
#include "relayd/relay_bridge.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace relay {

namespace {

QTimeZone zone_of(const QString& id) {
    return id.isEmpty() ? QTimeZone::systemTimeZone() : QTimeZone(id.toUtf8());
}

const char* kind_word(ScheduleRun::Kind kind) {
    switch (kind) {
        case ScheduleRun::Kind::OnTime:
            return "on time";
        case ScheduleRun::Kind::Late:
            return "late";
        case ScheduleRun::Kind::Asserted:
            return "asserted";
        default:
            return "skipped";
    }
}

// {"on":[3],"pulse":[5],"pulse_ms":2000}: the channels of each action.
QJsonObject command_json(const ChannelCommand& command) {
    QJsonObject made;
    for (const ChannelAction& action : channel_actions(command)) {
        made.insert(QLatin1String(action.word), channel_list(action.channels));
    }
    if (command.pulse && command.pulse_ms) {
        made.insert(QStringLiteral("pulse_ms"), command.pulse_ms);
    }
    return made;
}

}  // namespace

QString schedule_command_text(const ChannelCommand& command) {
    QStringList parts;
    for (const ChannelAction& action : channel_actions(command)) {
        parts << QStringLiteral("%1 %2").arg(QLatin1String(action.word),
                                             channel_text(action.channels));
    }
    if (command.pulse && command.pulse_ms) {
        parts.last() += QStringLiteral(" for %1 ms").arg(command.pulse_ms);
    }
    return parts.join(QStringLiteral("; "));
}

ScheduleState ScheduleState::read(const StateDirectory& state) {
    ScheduleState read;
    const auto bytes = state.read(QString::fromLatin1(ScheduleRunner::StateFile));
    if (!bytes) {
        return read;
    }
    const QJsonObject all = QJsonDocument::fromJson(*bytes).object();
    for (const QJsonValue value : all[QStringLiteral("entries")].toArray()) {
        const QJsonObject one = value.toObject();
        read.entries.push_back({one[QStringLiteral("name")].toString(),
                                one[QStringLiteral("text")].toString(),
                                one[QStringLiteral("by")].toString(),
                                static_cast<qint64>(one[QStringLiteral("added")].toDouble(-1))});
    }
    const QJsonObject kept = all[QStringLiteral("kept")].toObject();
    for (auto it = kept.begin(); it != kept.end(); ++it) {
        const QJsonObject one = it.value().toObject();
        read.kept[it.key()] = {static_cast<qint64>(one[QStringLiteral("done")].toDouble(-1)),
                               static_cast<qint64>(one[QStringLiteral("claimed")].toDouble(-1))};
    }
    return read;
}

QByteArray ScheduleState::bytes() const {
    QJsonArray page;
    for (const PageEntry& entry : entries) {
        page.append(QJsonObject{{QStringLiteral("name"), entry.name},
                                {QStringLiteral("text"), entry.text},
                                {QStringLiteral("by"), entry.by},
                                {QStringLiteral("added"), double(entry.added_ms)}});
    }
    QJsonObject runs;
    for (const auto& [name, one] : kept) {
        runs[name] = QJsonObject{{QStringLiteral("done"), double(one.done_ms)},
                                 {QStringLiteral("claimed"), double(one.claimed_ms)}};
    }
    return QJsonDocument(
               QJsonObject{{QStringLiteral("entries"), page}, {QStringLiteral("kept"), runs}})
        .toJson(QJsonDocument::Compact);
}

ScheduleRunner::ScheduleRunner(RelayBridge& bridge, StateDirectory state, QObject* parent)
    : QObject(parent),
      m_bridge(bridge),
      m_state(std::move(state)),
      m_check(bridge.options().trust_clock),
      m_scheduler(ScheduleCalendar(LocalTime(zone_of(bridge.options().time_zone)),
                                   bridge.options().location)) {
    m_monotonic.start();
    m_wake.setSingleShot(true);
    m_wake.setTimerType(Qt::PreciseTimer);
    m_tick.setInterval(TickMs);
    connect(&m_wake, &QTimer::timeout, this, &ScheduleRunner::wake);
    connect(&m_tick, &QTimer::timeout, this, &ScheduleRunner::wake);
    for (const auto& [name, text] : bridge.options().schedule) {
        m_config.push_back({name, text, QString(), -1, QString()});
    }
    connect(&m_bridge, &RelayBridge::board_availability, this,
            [this](std::uint8_t address, bool online) {
                if (!online) {
                    m_lost.insert(address);
                } else if (m_lost.erase(address)) {
                    // Its relays may have been switched or powered off meanwhile.
                    for (const ScheduleRun& run : m_scheduler.assert_windows(address)) {
                        carry_out(run);
                    }
                }
            });
}

ScheduleContext ScheduleRunner::context() const {
    std::vector<std::uint8_t> boards;
    for (const BoardState& board : m_bridge.boards()) {
        boards.push_back(board.address);
    }
    return {m_bridge.options().rules, boards, m_bridge.options().location.has_value()};
}

void ScheduleRunner::start() {
    if (m_started) {
        return;
    }
    m_started = true;
    const ScheduleState state = ScheduleState::read(m_state);
    for (const ScheduleState::PageEntry& entry : state.entries) {
        m_page.push_back({entry.name, entry.text, entry.by, entry.added_ms, QString()});
    }
    apply();
    const std::map<QString, Scheduler::Kept>& kept = state.kept;
    m_scheduler.restore(kept);
    m_written = m_scheduler.kept();
    for (const auto& [name, claimed] : m_scheduler.uncertain()) {
        log_line(QStringLiteral("schedule %1: relayd stopped as its run at %2 was due; it may not "
                                "have run, and is not run again")
                     .arg(name, local_text(claimed)));
    }
    if (!m_config.empty() || !m_page.empty()) {
        log_line(QStringLiteral("schedule: %1 entries, times in %2")
                     .arg(m_config.size() + m_page.size())
                     .arg(QString::fromUtf8(m_scheduler.calendar().local().zone().id())));
    }
    m_tick.start();
    wake();
}

void ScheduleRunner::stop() {
    m_tick.stop();
    m_wake.stop();
    if (m_started) {
        keep();
    }
}

void ScheduleRunner::apply() {
    const ScheduleContext rules = context();
    std::vector<ScheduleEntry> entries;
    for (const std::vector<Source>* sources : {&m_config, &m_page}) {
        for (const Source& source : *sources) {
            const ScheduleReading reading = read_schedule_entry(source.name, source.text, rules);
            if (reading.entry) {
                entries.push_back(*reading.entry);
            }
        }
    }
    for (Source& source : m_page) {
        const QString was = source.refusal;
        source.refusal = read_schedule_entry(source.name, source.text, rules).refusal;
        if (!source.refusal.isEmpty() && source.refusal != was) {
            log_line(QStringLiteral("schedule %1 (from the page) is left out: %2")
                         .arg(source.name, source.refusal));
        }
    }
    m_scheduler.set_entries(std::move(entries));
}

void ScheduleRunner::wake() {
    const qint64 wall = QDateTime::currentMSecsSinceEpoch();
    const ClockCheck::Verdict verdict = m_check.check(wall);
    if (!(verdict == m_verdict)) {
        if (verdict.valid) {
            log_line(QStringLiteral("system clock valid, %1: schedules run").arg(verdict.why));
        } else if (!m_scheduler.entries().empty()) {
            log_line(QStringLiteral("schedules wait for the system clock: %1").arg(verdict.why));
        }
        m_verdict = verdict;
        Q_EMIT changed();
    }
    const std::vector<ScheduleRun> runs =
        m_scheduler.advance(m_monotonic.elapsed(), wall, verdict.valid);
    for (const ScheduleRun& run : runs) {
        carry_out(run);
    }
    keep();
    if (!runs.empty()) {
        Q_EMIT changed();
    }
    const std::optional<qint64> next = m_scheduler.next_wake_ms();
    if (next && *next - wall < TickMs) {
        m_wake.start(static_cast<int>(std::max<qint64>(0, *next - wall)));
    }
    const std::optional<qint64> due = m_scheduler.next_run_ms();
    m_bridge.reserve(due ? std::optional<qint64>(*due - wall) : std::nullopt);
}

void ScheduleRunner::carry_out(const ScheduleRun& run) {
    const QString what = schedule_command_text(run.command);
    if (run.kind == ScheduleRun::Kind::Skipped) {
        log_line(QStringLiteral("schedule %1: the run at %2 was missed (relayd down, the clock "
                                "invalid or stepped) and is skipped%3")
                     .arg(run.entry, local_text(run.due_ms),
                          run.skipped > 1 ? QStringLiteral(", %1 runs in all").arg(run.skipped)
                                          : QString()));
    } else {
        log_line(
            QStringLiteral("schedule %1: %2 (%3, due %4)")
                .arg(run.entry, what, QLatin1String(kind_word(run.kind)), local_text(run.due_ms)));
    }
    Q_EMIT ran(event(run));
    if (run.kind == ScheduleRun::Kind::Skipped || run.command.mask() == 0) {
        return;
    }
    m_bridge.submit(
        run.command,
        CommandSource{
            QStringLiteral("schedule"), run.entry, what.toUtf8(), QStringLiteral("schedule"), {}},
        [](const CommandOutcome&, const QJsonObject&) {});
}

void ScheduleRunner::keep() {
    if (!m_dirty && m_scheduler.kept() == m_written) {
        return;
    }
    ScheduleState state;
    for (const Source& source : m_page) {
        state.entries.push_back({source.name, source.text, source.by, source.added_ms});
    }
    state.kept = m_scheduler.kept();
    QString error;
    const QByteArray bytes = state.bytes();
    if (!m_state.write(QString::fromLatin1(StateFile), bytes, &error)) {
        // Schedules go on; a restart may then run or miss what this would have kept.
        if (error != m_write_error) {
            log_line(QStringLiteral("schedule: cannot keep what ran in %1: %2")
                         .arg(m_state.file_path(QString::fromLatin1(StateFile)), error));
        }
        m_write_error = error;
        return;
    }
    m_write_error.clear();
    m_written = m_scheduler.kept();
    m_dirty = false;
}

QString ScheduleRunner::local_text(qint64 ms) const {
    return QDateTime::fromMSecsSinceEpoch(ms, m_scheduler.calendar().local().zone())
        .toString(Qt::ISODate);
}

QJsonObject ScheduleRunner::event(const ScheduleRun& run) const {
    QJsonObject made = command_json(run.command);
    made.insert(QStringLiteral("time"),
                QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    made.insert(QStringLiteral("entry"), run.entry);
    made.insert(QStringLiteral("run"), QLatin1String(kind_word(run.kind)));
    made.insert(QStringLiteral("due"), local_text(run.due_ms));
    made.insert(QStringLiteral("address"), run.command.address);
    if (run.skipped) {
        made.insert(QStringLiteral("skipped"), run.skipped);
    }
    return made;
}

QJsonObject ScheduleRunner::listing() const {
    QJsonArray entries;
    const qint64 wall = QDateTime::currentMSecsSinceEpoch();
    for (const std::vector<Source>* sources : {&m_config, &m_page}) {
        for (const Source& source : *sources) {
            QJsonObject one{
                {QStringLiteral("name"), source.name},
                {QStringLiteral("text"), source.text},
                {QStringLiteral("from"),
                 sources == &m_config ? QStringLiteral("config") : QStringLiteral("page")}};
            if (!source.by.isEmpty()) {
                one.insert(QStringLiteral("by"), source.by);
            }
            if (!source.refusal.isEmpty()) {
                one.insert(QStringLiteral("error"), source.refusal);
            }
            const auto& entries_now = m_scheduler.entries();
            const auto entry =
                std::find_if(entries_now.begin(), entries_now.end(),
                             [&source](const ScheduleEntry& e) { return e.name == source.name; });
            if (entry != entries_now.end()) {
                one.insert(QStringLiteral("address"), entry->address);
                one.insert(QStringLiteral("channels"), channel_list(entry->channels));
                const bool window = entry->kind == ScheduleEntry::Kind::Window;
                one.insert(QStringLiteral("kind"),
                           window ? QStringLiteral("window") : QStringLiteral("event"));
                if (window && m_verdict.valid) {
                    one.insert(QStringLiteral("on"),
                               m_scheduler.calendar().window_on(*entry, wall));
                }
                if (const auto next = m_scheduler.next_of(entry->name); next && m_verdict.valid) {
                    QJsonObject what = command_json(entry->command(next->on));
                    what.insert(QStringLiteral("time"), local_text(next->at_ms));
                    one.insert(QStringLiteral("next"), what);
                }
            }
            entries.append(one);
        }
    }
    return {{QStringLiteral("clock"),
             QJsonObject{{QStringLiteral("valid"), m_verdict.valid},
                         {QStringLiteral("why"), m_verdict.why},
                         {QStringLiteral("now"), local_text(wall)},
                         {QStringLiteral("zone"),
                          QString::fromUtf8(m_scheduler.calendar().local().zone().id())}}},
            {QStringLiteral("entries"), entries}};
}

bool ScheduleRunner::put(const QString& name, const QString& text, const QString& who,
                         QString* refusal) {
    if (std::any_of(m_config.begin(), m_config.end(),
                    [&name](const Source& s) { return s.name == name; })) {
        *refusal = QStringLiteral("%1 comes from relayd's config file: change it there").arg(name);
        return false;
    }
    const ScheduleReading reading = read_schedule_entry(name, text, context());
    if (!reading.entry) {
        *refusal = reading.refusal;
        return false;
    }
    const auto it = std::find_if(m_page.begin(), m_page.end(),
                                 [&name](const Source& s) { return s.name == name; });
    const Source made{name, reading.entry->text, who, QDateTime::currentMSecsSinceEpoch(),
                      QString()};
    log_line(QStringLiteral("schedule %1 %2 by %3: %4")
                 .arg(name,
                      it == m_page.end() ? QStringLiteral("added") : QStringLiteral("changed"),
                      who.isEmpty() ? QStringLiteral("the page") : who, made.text));
    if (it == m_page.end()) {
        m_page.push_back(made);
    } else {
        *it = made;
    }
    apply();
    m_dirty = true;
    wake();
    Q_EMIT changed();
    return true;
}

bool ScheduleRunner::remove(const QString& name, const QString& who, QString* refusal) {
    const auto it = std::find_if(m_page.begin(), m_page.end(),
                                 [&name](const Source& s) { return s.name == name; });
    if (it == m_page.end()) {
        const bool configured = std::any_of(m_config.begin(), m_config.end(),
                                            [&name](const Source& s) { return s.name == name; });
        *refusal =
            configured
                ? QStringLiteral("%1 comes from relayd's config file: change it there").arg(name)
                : QStringLiteral("there is no entry %1").arg(name);
        return false;
    }
    log_line(QStringLiteral("schedule %1 deleted by %2")
                 .arg(name, who.isEmpty() ? QStringLiteral("the page") : who));
    m_page.erase(it);
    apply();
    m_dirty = true;
    wake();
    Q_EMIT changed();
    return true;
}

}  // namespace relay
