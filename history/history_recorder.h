#pragma once

#include "history/history_options.h"
#include "history/history_writer.h"
#include "history/runtime_counters.h"
#include "relayd/relay_bridge.h"

#include <QObject>
#include <QTimer>

#include <map>
#include <memory>

namespace relay {

// What happened on relayd's line, as its bridge tells it, for the history:
// every change with its cause, every command with its outcome, availability,
// and each channel's runtime counters. Rows are handed to the writer's
// thread once a second, so a kill or a power cut loses about that much.
// With history off only the counters are kept, in memory.
class HistoryRecorder : public QObject {
    Q_OBJECT
public:
    static constexpr int FlushMs = 1000;
    // Commands remembered for the changes they cause.
    static constexpr std::size_t RememberedCommands = 1024;

    HistoryRecorder(RelayBridge& bridge, HistoryOptions options, QObject* parent = nullptr);
    ~HistoryRecorder() override;

    // Opens the database in the state directory; without it, logs why and
    // goes on counting in memory.
    void start();
    // Writes what it has ("stopped" last), for an orderly stop.
    void stop();

    bool keeping() const { return m_writer != nullptr; }
    QString database_path() const;
    const RuntimeCounters& counters() const { return m_counters; }
    const HistoryWriter* writer() const { return m_writer.get(); }
    // Hands what was recorded to the writer now, not at the next second: a
    // read of the history is to see it.
    void flush();

private:
    struct Started {
        std::int64_t t = 0;
        ChannelCommand command;
        HistorySource source;
    };

    void started(int tag, const ChannelCommand& command, const CommandSource& source);
    void ended(int tag, const CommandOutcome& outcome);
    void changed(const ChannelChange& change);
    void shared(int origin, const Frame& frame);
    void availability(std::uint8_t address, bool online);
    void line(bool open);
    HistorySource cause_of(const ChannelChange& change) const;
    HistorySource shared_source(int origin) const;
    static std::int64_t wall_ms();

    RelayBridge& m_bridge;
    const HistoryOptions m_options;
    RuntimeCounters m_counters;
    std::unique_ptr<HistoryWriter> m_writer;
    std::map<int, Started> m_started;
    HistoryBatch m_batch;
    QTimer m_flush;
};

// "ON", "OFF", "TOGGLE", "PULSE", "PULSE 500 ms", or "ON 3; OFF 5" for a mix.
QString command_what(const ChannelCommand& command);

}  // namespace relay
