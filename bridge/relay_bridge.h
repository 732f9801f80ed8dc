#pragma once

#include "bridge/bridge_options.h"
#include "bridge/line_sharer.h"
#include "bridge/mqtt_client.h"
#include "bridge/payloads.h"
#include "bridge/topics.h"
#include "controller/bus_poller.h"
#include "names/name_file.h"
#include "names/stderr_messages.h"
#include "serial/serial_port.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>

#include <map>
#include <memory>

namespace relay {

// relayd: the line's boards on the bus poller, published to the broker. Every
// state it publishes comes from a board's reply; commands are verified.
class RelayBridge : public QObject, private BusEvents {
    Q_OBJECT
public:
    // How often name.txt is looked at; an unchanged file costs a stat.
    static constexpr int NamesCheckMs = 2000;
    // How often a lost port is tried again.
    static constexpr int ReopenMs = 1000;

    RelayBridge(BridgeOptions options, QString program_directory, QObject* parent = nullptr);
    ~RelayBridge() override;

    // Opens the port and starts; an exit status other than 0 when it cannot.
    int start();
    // Publishes offline, disconnects and closes the port.
    void stop();

Q_SIGNALS:
    // The bridge cannot go on (--scan found nothing, --fail-fast); exit with code.
    void fatal(int code);

private:
    // Bus events.
    void replied(const Frame& reply) override;
    void availability_changed(const BoardState& board) override;
    void job_finished(int job, JobResult result) override;
    void unanswered(const Frame& request) override;
    void scan_progress(int) override {}
    void scan_finished() override;
    void answered(int origin, const Frame& reply) override;

    void step();
    void on_group(const Frame& group);
    void on_device_lost(const QString& message);
    void try_reopen();
    void on_reopened();
    void on_connected();
    void on_message(const QString& topic, const QByteArray& payload, bool retained);
    void on_connect_failed(const QString& reason);
    void command(const QString& topic, const QByteArray& payload, bool retained);
    void refuse(const QString& topic, const QByteArray& payload, const QString& why);
    void check_names(bool force);
    void publish_board(const BoardState& board, bool discovery);
    void publish_discovery();
    // Retained; only what differs from what was last published.
    void publish_retained(const QString& topic, const QByteArray& payload);
    void publish_error(QJsonObject event);
    void log(const QString& line) const;
    void write_frame(const Frame& frame);

    struct PendingCommand {
        std::uint8_t address = 0;
        ChannelBits mask = 0;
        ChannelBits wanted = 0;
        QString topic;
        QByteArray payload;
    };

    BridgeOptions m_options;
    Topics m_topics;
    StderrMessages m_messages;
    NameFile m_names;
    std::unique_ptr<SerialPort> m_line;
    BusPoller m_poller;
    MqttClient m_mqtt;
    LineSharer m_sharer;
    QElapsedTimer m_clock;
    QTimer m_wake;
    QTimer m_names_check;
    QTimer m_reopen;
    std::map<std::uint8_t, BoardNames> m_board_names;
    std::map<std::uint8_t, QDateTime> m_document_time;  // of the published document
    std::map<int, PendingCommand> m_pending;
    std::vector<std::uint8_t> m_found;
    QHash<QString, QByteArray> m_published;
    QString m_refusal;  // the last connection failure logged
    qint64 m_refusal_logged_ms = -1;
    bool m_scanning = false;  // until --scan has found the boards
};

}  // namespace relay
