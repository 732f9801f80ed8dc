#pragma once

#include "controller/board_document.h"
#include "controller/command_event.h"
#include "controller/switchboard.h"
#include "names/name_file.h"
#include "names/stderr_messages.h"
#include "relayd/line_options.h"
#include "relayd/line_sharer.h"
#include "relayd/schedule_runner.h"
#include "serial/serial_port.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>

namespace relay {

// relayd's line: the boards on the switchboard, their names and documents,
// and the shared ports. The adapters (MQTT, the web) show what it tells and
// bring it commands; every state comes from a board's reply.
class RelayBridge : public QObject, private BusEvents {
    Q_OBJECT
public:
    // How often name.txt is looked at; an unchanged file costs a stat.
    static constexpr int NamesCheckMs = 2000;
    // How often a lost port is tried again.
    static constexpr int ReopenMs = 1000;
    static constexpr int StopWaitMs = 2000;

    using Done = std::function<void(const CommandOutcome&, const QJsonObject& error_event)>;

    RelayBridge(LineOptions options, QString program_directory, QObject* parent = nullptr);
    ~RelayBridge() override;

    // Opens the port and starts; an exit status other than 0 when it cannot.
    int start();
    // Releases every running pulse (waiting StopWaitMs at most), calls then
    // and closes the port.
    void stop(const std::function<void()>& then);

    const LineOptions& options() const { return m_options; }
    const std::vector<BoardState>& boards() const { return m_switchboard.poller().boards(); }
    const BoardState* board(std::uint8_t address) const;
    const BoardNames& names(std::uint8_t address) const;
    // The board's document as it was last told (board_changed).
    QByteArray document(std::uint8_t address) const;
    bool line_open() const { return m_line_open; }
    // Until --scan has found the boards.
    bool scanning() const { return m_scanning; }

    // Carries the command out; done gets the outcome and, unless verified, the
    // error event, which command_failed tells as well.
    void submit(const ChannelCommand& command, const CommandSource& source, Done done);
    // Through name.txt with the panel's refusals; false and why when refused.
    bool rename(std::uint8_t address, int channel, const QString& name, QString* refusal);
    // Tells command_failed about a command an adapter refused before submitting.
    QJsonObject refuse(const CommandSource& source, const QString& why);
    // A frame will be due in_ms from now (a schedule's run): polls keep the line free for it.
    void reserve(std::optional<qint64> in_ms);
    ScheduleRunner& schedules() { return *m_schedules; }
    const ScheduleRunner& schedules() const { return *m_schedules; }
    // The line's counters and the clock the boards' times are in.
    const Switchboard& switchboard() const { return m_switchboard; }
    qint64 now_ms() const { return m_clock.elapsed(); }

Q_SIGNALS:
    // The bridge cannot go on (--scan found nothing); exit with code.
    void fatal(int code);
    void board_changed(std::uint8_t address);  // its document changed
    void board_availability(std::uint8_t address, bool online);
    void names_changed(std::uint8_t address);
    void boards_found();  // --scan has found the boards to serve
    void line_changed(bool open);
    void command_failed(const QJsonObject& event);
    // For the history: each command as it is submitted (tag names it in the
    // changes it causes) and as it ends, each change with its cause, and each
    // switching frame of a shared port (origin: its place in --share).
    void command_started(int tag, const relay::ChannelCommand& command,
                         const relay::CommandSource& source);
    void command_ended(int tag, const relay::CommandOutcome& outcome);
    void channel_changed(const relay::ChannelChange& change);
    void shared_frame(int origin, const relay::Frame& frame);

private:
    void replied(const Frame& reply) override;
    void availability_changed(const BoardState& board) override;
    void job_finished(int, JobResult) override {}
    void unanswered(const Frame&) override {}
    void scan_progress(int) override {}
    void scan_finished() override;
    void answered(int origin, const Frame& reply) override;

    void step();
    void on_group(const Frame& group);
    void on_device_lost(const QString& message);
    void try_reopen();
    void on_reopened();
    void check_names(bool force);
    void noticed(const SwitchNotice& notice);
    void refresh(const BoardState& board);
    void write_frame(const Frame& frame);

    struct Document {
        QByteArray bytes;
        QDateTime last_reply;  // of the reply it was made from
    };

    LineOptions m_options;
    QString m_name_directory;
    StderrMessages m_messages;
    NameFile m_names;
    std::unique_ptr<SerialPort> m_line;
    Switchboard m_switchboard;
    LineSharer m_sharer;
    QElapsedTimer m_clock;
    QTimer m_wake;
    QTimer m_names_check;
    QTimer m_reopen;
    std::map<std::uint8_t, BoardNames> m_board_names;
    std::map<std::uint8_t, Document> m_documents;
    std::vector<std::uint8_t> m_found;
    bool m_line_open = false;
    bool m_scanning = false;
    int m_last_tag = 0;
    std::unique_ptr<ScheduleRunner> m_schedules;
};

}  // namespace relay
