#pragma once

#include <QObject>

class QSocketNotifier;

namespace relay {

// SIGINT and SIGTERM, delivered in the event loop, so that the port is closed
// the orderly way (a killed opener leaves the tty reserved).
class InterruptWatch : public QObject {
    Q_OBJECT
public:
    explicit InterruptWatch(QObject* parent = nullptr);
    ~InterruptWatch() override;

    bool start();

Q_SIGNALS:
    void interrupted(int signal_number);

private:
    void on_readable();

    QSocketNotifier* m_notifier = nullptr;
};

}  // namespace relay
