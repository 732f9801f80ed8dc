#pragma once

#include <QDeadlineTimer>
#include <QObject>

#include <functional>

struct mosquitto;
class QSocketNotifier;
class QTimer;

namespace relay {

// libmosquitto's socket on Qt's event loop: notifiers read and write it, a
// timer runs the keep-alives, and io_done() follows every such step.
class MqttSocket : public QObject {
    Q_OBJECT
public:
    explicit MqttSocket(QObject* parent = nullptr);

    // Watches the socket the client has now, if any.
    void watch(struct mosquitto* mosq);
    void unwatch();
    bool is_watching() const { return m_socket >= 0; }
    // Whether libmosquitto still has the socket being watched (it closes it
    // when the connection ends); if so, writing is watched while it has
    // something to write.
    bool keep_up();

    // Blocking, for an orderly stop only: sends what is queued.
    static void flush(struct mosquitto* mosq, const QDeadlineTimer& deadline);
    // Blocking, for an orderly stop only: reads and writes until done() or
    // the deadline.
    static void exchange(struct mosquitto* mosq, const QDeadlineTimer& deadline,
                         const std::function<bool()>& done);

Q_SIGNALS:
    // rc of libmosquitto's read, write or keep-alive step, errno after it.
    void io_done(int rc, int saved_errno);

private:
    void step(int rc);

    struct mosquitto* m_mosq = nullptr;
    int m_socket = -1;
    QSocketNotifier* m_read = nullptr;
    QSocketNotifier* m_write = nullptr;
    QTimer* m_tick = nullptr;
};

}  // namespace relay
