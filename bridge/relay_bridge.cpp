#include "bridge/relay_bridge.h"

#include "serial/line_port.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace relay {

namespace {

QString hex(const Frame& frame) {
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(frame.data()), 8).toHex(' ').toUpper());
}

QJsonArray channel_list(ChannelBits bits) {
    QJsonArray channels;
    for (int channel = 1; channel <= ChannelCount; ++channel) {
        if (bits & (1u << (channel - 1))) {
            channels.append(channel);
        }
    }
    return channels;
}

// A payload as text for a log line or an error event, never too long.
QString shown(const QByteArray& payload) {
    const QString text = QString::fromUtf8(payload.left(200));
    return payload.size() > 200 ? text + QStringLiteral("...") : text;
}

}  // namespace

RelayBridge::RelayBridge(BridgeOptions options, QString program_directory, QObject* parent)
    : QObject(parent),
      m_options(std::move(options)),
      m_topics(m_options.base_topic, m_options.node_id, m_options.discovery_prefix),
      m_names(m_messages,
              m_options.name_directory.isEmpty() ? program_directory : m_options.name_directory),
      m_line(make_line_port(m_options.port_text, program_directory)),
      m_poller([this](const Frame& frame) { write_frame(frame); }, *this),
      m_mqtt([this] {
          MqttSettings settings = m_options.mqtt;
          settings.will_topic = m_topics.bridge_status();
          settings.will_payload = QByteArrayLiteral("offline");
          return settings;
      }()),
      m_sharer(m_poller, [this] { step(); }) {
    m_wake.setSingleShot(true);
    m_wake.setTimerType(Qt::PreciseTimer);
    m_names_check.setInterval(NamesCheckMs);
    m_reopen.setInterval(ReopenMs);
    connect(&m_wake, &QTimer::timeout, this, &RelayBridge::step);
    connect(&m_names_check, &QTimer::timeout, this, [this] { check_names(false); });
    connect(&m_reopen, &QTimer::timeout, this, &RelayBridge::try_reopen);
    connect(m_line.get(), &SerialPort::group_received, this, &RelayBridge::on_group);
    connect(m_line.get(), &SerialPort::device_lost, this, &RelayBridge::on_device_lost);
    connect(m_line.get(), &SerialPort::line_opened, this, &RelayBridge::on_reopened);
    connect(m_line.get(), &SerialPort::open_failed, this, [this] { m_reopen.start(); });
    connect(&m_mqtt, &MqttClient::connected, this, &RelayBridge::on_connected);
    connect(&m_mqtt, &MqttClient::disconnected, this,
            [this](const QString& reason) { log(QStringLiteral("broker: %1").arg(reason)); });
    connect(&m_mqtt, &MqttClient::connect_failed, this, &RelayBridge::on_connect_failed);
    connect(&m_mqtt, &MqttClient::message_received, this, &RelayBridge::on_message);
}

RelayBridge::~RelayBridge() = default;

int RelayBridge::start() {
    m_clock.start();
    if (!m_line->open_line(m_options.port_text)) {
        log(QStringLiteral("cannot open port %1: %2")
                .arg(m_options.port_text, m_line->error_text()));
        return exit_code::Port;
    }
    log(QStringLiteral("port %1 open (%2), node %3")
            .arg(m_options.port_text, m_line->device(), m_options.node_id));
    for (const QString& link : m_options.share) {
        QString error;
        if (!m_sharer.add(link, &error)) {
            log(QStringLiteral("cannot share the line at %1: %2").arg(link, error));
            return exit_code::Port;
        }
        log(QStringLiteral("line shared at %1").arg(link));
    }
    m_scanning = m_options.scan;
    if (m_scanning) {
        log(QStringLiteral("looking for boards at %1-%2")
                .arg(m_options.scan_from)
                .arg(m_options.scan_to));
        m_poller.start_scan(m_options.scan_from, m_options.scan_to,
                            BusPoller::DefaultReplyWaitMs / 2);
    } else {
        m_poller.set_boards(m_options.boards);
        check_names(true);
    }
    m_names_check.start();
    m_mqtt.start();
    step();
    return exit_code::Ok;
}

void RelayBridge::stop() {
    if (m_mqtt.is_connected()) {
        for (const BoardState& board : m_poller.boards()) {
            m_mqtt.publish(m_topics.board_availability(board.address), "offline", true);
        }
        m_mqtt.publish(m_topics.bridge_status(), "offline", true);
    }
    m_mqtt.stop();
    m_line->close();
    log(QStringLiteral("stopped"));
}

void RelayBridge::step() {
    m_poller.advance(m_clock.elapsed());
    if (const auto due = m_poller.next_deadline_ms()) {
        m_wake.start(static_cast<int>(std::max<qint64>(0, *due - m_clock.elapsed())));
    }
}

void RelayBridge::on_group(const Frame& group) {
    if (m_options.verbose) {
        log(QStringLiteral("< %1").arg(hex(group)));
    }
    m_poller.receive(group, m_clock.elapsed());
    step();
}

void RelayBridge::write_frame(const Frame& frame) {
    if (m_options.verbose) {
        log(QStringLiteral("> %1").arg(hex(frame)));
    }
    m_line->write_frame(frame);
}

void RelayBridge::on_device_lost(const QString& message) {
    log(QStringLiteral("port %1 lost: %2; every board offline, trying again every %3 s")
            .arg(m_options.port_text, message)
            .arg(ReopenMs / 1000));
    m_poller.line_closed(m_clock.elapsed());
    m_reopen.start();
}

void RelayBridge::try_reopen() {
    // No waiting: a far end that drops connection requests would stall the
    // broker and the shared ports. One attempt at a time; a failure rearms.
    m_reopen.stop();
    m_line->open_line_async(m_options.port_text);
}

void RelayBridge::on_reopened() {
    log(QStringLiteral("port %1 open again (%2)").arg(m_options.port_text, m_line->device()));
    m_poller.line_opened(m_clock.elapsed());
    step();
}

void RelayBridge::replied(const Frame& reply) {
    if (m_poller.board(reply[ReplyAddress])) {
        publish_board(*m_poller.board(reply[ReplyAddress]), false);
    } else if (m_scanning) {
        m_found.push_back(reply[ReplyAddress]);
    }
}

void RelayBridge::availability_changed(const BoardState& board) {
    log(QStringLiteral("board %1 %2")
            .arg(board.address)
            .arg(board.availability == Availability::Online ? "online" : "offline (silent)"));
    publish_board(board, false);
}

void RelayBridge::scan_finished() {
    if (m_found.empty()) {
        log(QStringLiteral("no board answered at %1-%2")
                .arg(m_options.scan_from)
                .arg(m_options.scan_to));
        Q_EMIT fatal(exit_code::NoReply);
        return;
    }
    QStringList found;
    for (const std::uint8_t address : m_found) {
        found.append(QString::number(address));
    }
    log(QStringLiteral("serving boards %1").arg(found.join(QLatin1Char(','))));
    m_scanning = false;
    m_options.boards = m_found;
    m_poller.set_boards(m_found);
    check_names(true);
    if (m_mqtt.is_connected()) {
        on_connected();
    }
}

void RelayBridge::job_finished(int job, JobResult result) {
    const auto it = m_pending.find(job);
    if (it == m_pending.end()) {
        return;
    }
    const PendingCommand pending = it->second;
    m_pending.erase(it);
    if (result == JobResult::Verified) {
        log(QStringLiteral("board %1: %2 verified")
                .arg(pending.address)
                .arg(shown(pending.payload)));
        return;
    }
    const BoardState* board = m_poller.board(pending.address);
    const ChannelBits shown_bits = board && board->channels ? *board->channels : 0;
    const ChannelBits wrong = (shown_bits & pending.mask) ^ pending.wanted;
    const QString what =
        result == JobResult::NoReply ? QStringLiteral("no reply") : QStringLiteral("not verified");
    publish_error({{QStringLiteral("error"), what},
                   {QStringLiteral("topic"), pending.topic},
                   {QStringLiteral("payload"), shown(pending.payload)},
                   {QStringLiteral("address"), pending.address},
                   {QStringLiteral("channels"),
                    channel_list(result == JobResult::NoReply ? pending.mask : wrong)},
                   {QStringLiteral("timeout_ms"), m_options.verify_timeout_ms}});
}

void RelayBridge::unanswered(const Frame&) {}

void RelayBridge::answered(int origin, const Frame& reply) {
    m_sharer.answered(origin, reply);
}

void RelayBridge::on_connected() {
    log(QStringLiteral("broker %1:%2 connected").arg(m_options.mqtt.host).arg(m_options.mqtt.port));
    m_refusal.clear();
    // The broker may have lost everything: publish it all again.
    m_published.clear();
    for (const QString& filter : m_topics.command_filters()) {
        m_mqtt.subscribe(filter);
    }
    m_mqtt.subscribe(m_topics.discovery_filter());
    m_mqtt.subscribe(m_topics.discovery_status());
    m_mqtt.publish(m_topics.bridge_status(), "online", true);
    for (const BoardState& board : m_poller.boards()) {
        publish_board(board, true);
    }
}

void RelayBridge::on_connect_failed(const QString& reason) {
    if (m_options.fail_fast) {
        log(QStringLiteral("broker: %1").arg(reason));
        Q_EMIT fatal(exit_code::Broker);
        return;
    }
    // One line per attempt would flood the journal while the broker is down.
    const qint64 now = m_clock.elapsed();
    if (reason != m_refusal || m_refusal_logged_ms < 0 || now - m_refusal_logged_ms >= 30000) {
        log(QStringLiteral("broker: %1; retrying").arg(reason));
        m_refusal = reason;
        m_refusal_logged_ms = now;
    }
}

void RelayBridge::on_message(const QString& topic, const QByteArray& payload, bool retained) {
    if (topic == m_topics.discovery_status()) {
        if (payload.trimmed() == "online") {
            log(QStringLiteral("Home Assistant is online: discovery sent again"));
            publish_discovery();
        }
        return;
    }
    if (const auto address = m_topics.discovery_address(topic)) {
        // A config of ours for a board no longer served: remove the entity.
        if (!payload.isEmpty() && !m_poller.board(*address) && !m_scanning) {
            log(QStringLiteral("removing the discovery config %1").arg(topic));
            m_mqtt.publish(topic, QByteArray(), true);
        }
        return;
    }
    command(topic, payload, retained);
}

void RelayBridge::command(const QString& topic, const QByteArray& payload, bool retained) {
    const CommandReading reading = read_command(m_topics, topic, payload, retained);
    if (!reading.command) {
        refuse(topic, payload, reading.refusal);
        return;
    }
    const ChannelCommand& wanted = *reading.command;
    const BoardState* board = m_poller.board(wanted.address);
    if (!board) {
        refuse(topic, payload, QStringLiteral("board %1 is not served here").arg(wanted.address));
        return;
    }
    if (wanted.toggle && !board->channels) {
        refuse(
            topic, payload,
            QStringLiteral("board %1 has not answered yet: nothing to toggle").arg(wanted.address));
        return;
    }
    const ChannelBits current = board->channels.value_or(0);
    const auto target =
        static_cast<ChannelBits>(wanted.on | (wanted.toggle & static_cast<ChannelBits>(~current)));
    const ChannelBits mask = wanted.mask();
    log(QStringLiteral("board %1: %2 from %3").arg(wanted.address).arg(shown(payload), topic));
    m_poller.switch_channels(wanted.address, mask, target);
    const int job =
        m_poller.expect(wanted.address, mask, target & mask, m_options.verify_timeout_ms);
    m_pending[job] = {wanted.address, mask, static_cast<ChannelBits>(target & mask), topic,
                      payload};
    step();
}

void RelayBridge::refuse(const QString& topic, const QByteArray& payload, const QString& why) {
    publish_error({{QStringLiteral("error"), why},
                   {QStringLiteral("topic"), topic},
                   {QStringLiteral("payload"), shown(payload)}});
}

void RelayBridge::publish_error(QJsonObject event) {
    event.insert(QStringLiteral("time"),
                 QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    log(QStringLiteral("command refused or failed: %1 (%2 %3)")
            .arg(event.value(QStringLiteral("error")).toString(),
                 event.value(QStringLiteral("topic")).toString(),
                 event.value(QStringLiteral("payload")).toString()));
    m_mqtt.publish(m_topics.errors(), QJsonDocument(event).toJson(QJsonDocument::Compact), false);
}

void RelayBridge::check_names(bool force) {
    const QString title = m_names.load_title();
    for (const BoardState& board : m_poller.boards()) {
        BoardNames names{title, m_names.exists()
                                    ? m_names.load_channel_names(QString::number(board.address))
                                    : QStringList(ChannelCount, QString())};
        auto& known = m_board_names[board.address];
        if (force || !(known == names)) {
            if (!force) {
                log(QStringLiteral("names of board %1 changed in name.txt").arg(board.address));
            }
            known = names;
            publish_board(board, true);
        }
    }
}

void RelayBridge::publish_discovery() {
    for (const BoardState& board : m_poller.boards()) {
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            m_published.remove(m_topics.discovery_config(board.address, channel));
        }
        publish_board(board, true);
    }
}

void RelayBridge::publish_board(const BoardState& board, bool discovery) {
    if (!m_mqtt.is_connected()) {
        return;
    }
    const BoardNames& names = m_board_names[board.address];
    const std::uint8_t address = board.address;
    if (discovery) {
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            publish_retained(m_topics.discovery_config(address, channel),
                             discovery_payload(m_topics, names, address, channel));
        }
    }
    // Not yet known is not told: the watchdog's rule decides within a second.
    if (board.availability != Availability::Unknown) {
        const bool online = board.availability == Availability::Online;
        publish_retained(m_topics.board_availability(address), online ? "online" : "offline");
    }
    if (board.channels) {
        for (int channel = 1; channel <= ChannelCount; ++channel) {
            publish_retained(m_topics.channel_state(address, channel),
                             on_off(*board.channels & (1u << (channel - 1))));
        }
    }
    // Its time is that of the reply it was made from: a document that only
    // the time would change is not sent again.
    const QString document = m_topics.board_document(address);
    if (m_published.value(document) != board_document(board, names, m_document_time[address])) {
        m_document_time[address] =
            board.last_reply_ms < 0
                ? QDateTime()
                : QDateTime::currentDateTimeUtc().addMSecs(board.last_reply_ms - m_clock.elapsed());
        publish_retained(document, board_document(board, names, m_document_time[address]));
    }
}

void RelayBridge::publish_retained(const QString& topic, const QByteArray& payload) {
    const auto it = m_published.constFind(topic);
    if (it != m_published.constEnd() && *it == payload) {
        return;
    }
    if (m_mqtt.publish(topic, payload, true)) {
        m_published.insert(topic, payload);
    }
}

void RelayBridge::log(const QString& line) const {
    std::fprintf(stderr, "relayd: %s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

}  // namespace relay
