// Figures of the whole panel, each in a process of its own so that one does not
// warm up the next:
//   bench_panel startup DIR          start-up to the first painted window
//   bench_panel poll DIR SECONDS     CPU per second and memory while polling the
//                                    board linked as DIR/com1
//   bench_panel receive              Google Benchmark: a reply applied and repainted
// DIR holds name.txt (absent: the first start creates it). Messages are recorded,
// not shown, so no operator time is counted.
#include "serial/qt_serial_port.h"
#include "support/fake_serial_port.h"
#include "support/recording_messages.h"
#include "ui/main_form.h"
#include "ui/song_font.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// Reports the first paint of the window it watches, then quits.
class FirstPaint : public QObject {
public:
    explicit FirstPaint(const QElapsedTimer& clock) : m_clock(clock) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            std::printf("startup_ms %.3f\n", double(m_clock.nsecsElapsed()) / 1e6);
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    const QElapsedTimer& m_clock;
    bool m_seen = false;
};

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long status_kib(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field)) {
            return line.mid(int(std::strlen(field))).trimmed().split(' ').front().toLong();
        }
    }
    return -1;
}

int startup(int argc, char** argv, const QElapsedTimer& clock) {
    QApplication app(argc, argv);
    relay::substitute_song_face();
    relay::testing::RecordingMessages messages;
    relay::MainForm form(QString::fromLocal8Bit(argv[2]), std::make_unique<relay::QtSerialPort>(),
                         &messages);
    FirstPaint watch(clock);
    form.installEventFilter(&watch);
    form.load_form();
    form.show();
    return QApplication::exec();
}

int poll(int argc, char** argv) {
    QApplication app(argc, argv);
    relay::substitute_song_face();
    const QString dir = QString::fromLocal8Bit(argv[2]);
    const int seconds = std::atoi(argv[3]);
    relay::testing::RecordingMessages messages;
    auto port = std::make_unique<relay::QtSerialPort>();
    port->set_link_directory(dir);
    relay::MainForm form(dir, std::move(port), &messages);
    form.load_form();
    form.show();
    form.findChild<QPushButton*>(QStringLiteral("open_comm"))->click();
    if (!messages.texts().isEmpty() && messages.texts().last().contains(QStringLiteral("串口"))) {
        std::fprintf(stderr, "open failed: %s\n", qPrintable(messages.texts().last()));
        return 1;
    }
    // Let the first replies settle before measuring.
    QTimer::singleShot(1000, &form, [&] {
        const double cpu_before = cpu_seconds();
        QElapsedTimer wall;
        wall.start();
        QTimer::singleShot(seconds * 1000, &form, [&, cpu_before, wall] {
            const double cpu = cpu_seconds() - cpu_before;
            std::printf("poll_cpu_percent %.3f\n",
                        100.0 * cpu / (double(wall.nsecsElapsed()) / 1e9));
            std::printf("rss_kib %ld\nhwm_kib %ld\n", status_kib("VmRSS:"), status_kib("VmHWM:"));
            std::printf("channel1 %s\n",
                        qPrintable(form.findChild<QWidget*>(QStringLiteral("Label2(1)"))
                                       ->property("text")
                                       .toString()));
            QApplication::quit();
        });
    });
    return QApplication::exec();
}

// Arg 1: every reply flips all sixteen channels, so all indicators repaint;
// arg 0: the steady state, replies that change nothing. The event loop's paint
// pass runs after each reply, as it would between two serial events.
void BM_ReplyAppliedAndRepainted(benchmark::State& state) {
    QTemporaryDir dir;
    relay::testing::RecordingMessages messages;
    auto owned = std::make_unique<relay::testing::FakeSerialPort>();
    relay::testing::FakeSerialPort* port = owned.get();
    relay::MainForm form(dir.path(), std::move(owned), &messages);
    form.load_form();
    form.show();
    form.findChild<QPushButton*>(QStringLiteral("open_comm"))->click();
    QCoreApplication::processEvents();
    const bool flip = state.range(0) != 0;
    std::uint8_t bits = 0x5A;
    for (auto _ : state) {
        if (flip) {
            bits = static_cast<std::uint8_t>(~bits);
        }
        relay::Frame reply{relay::ReplyHeader, 1, relay::cmd::Status, 0, 0, bits, bits, 0};
        reply[7] = relay::frame_checksum(reply);
        port->deliver(reply);
        QCoreApplication::processEvents();
    }
}
BENCHMARK(BM_ReplyAppliedAndRepainted)->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    QElapsedTimer clock;
    clock.start();
    if (argc >= 3 && std::strcmp(argv[1], "startup") == 0) {
        return startup(argc, argv, clock);
    }
    if (argc >= 4 && std::strcmp(argv[1], "poll") == 0) {
        return poll(argc, argv);
    }
    if (argc >= 2 && std::strcmp(argv[1], "receive") == 0) {
        QApplication app(argc, argv);
        relay::substitute_song_face();
        int bench_argc = argc - 1;
        benchmark::Initialize(&bench_argc, argv + 1);
        benchmark::RunSpecifiedBenchmarks();
        return 0;
    }
    std::fprintf(stderr, "usage: bench_panel startup DIR | poll DIR SECONDS | receive\n");
    return 2;
}
