// The name file against QSettings in INI format, doing the same work on the
// same machine in the same run: creating the default contents (title and 4096
// names, in order), and loading the 16 names of one address, from an unchanged
// file and from one edited before every load.

#include "names/name_file.h"
#include "names/profile_cache.h"

#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

class CountingMessages : public relay::MessageSink {
public:
    void show_message(Icon, const QString&, const QString&) override { ++count; }
    int count = 0;
};

QTemporaryDir& work_directory() {
    static QTemporaryDir directory;
    return directory;
}

QString settings_path() {
    return work_directory().filePath(QStringLiteral("qsettings.ini"));
}

// The default contents with QSettings: one setValue per key, in the same order.
void create_with_qsettings() {
    QFile::remove(settings_path());
    QSettings settings(settings_path(), QSettings::IniFormat);
    settings.setValue(QStringLiteral("软件属性/名称"), QStringLiteral("16路串口控制继电器板Tavi"));
    for (int address = 0; address < 256; ++address) {
        const QString section = QStringLiteral("地址码%1/").arg(address);
        for (int channel = 1; channel <= 16; ++channel) {
            settings.setValue(section + QStringLiteral("第%1路名称").arg(channel),
                              QStringLiteral("第%1路").arg(channel));
        }
    }
    settings.sync();
}

void BM_Create_NameFile(benchmark::State& state) {
    CountingMessages messages;
    relay::NameFile names(messages, work_directory().path());
    for (auto _ : state) {
        state.PauseTiming();
        QFile::remove(names.name_file_path());
        state.ResumeTiming();
        names.init_name_file([](const QString& title) { benchmark::DoNotOptimize(title); });
    }
    state.counters["bytes"] = static_cast<double>(QFile(names.name_file_path()).size());
}
BENCHMARK(BM_Create_NameFile)->Unit(benchmark::kMillisecond);

void BM_Create_QSettings(benchmark::State& state) {
    for (auto _ : state) {
        create_with_qsettings();
    }
    state.counters["bytes"] = static_cast<double>(QFile(settings_path()).size());
}
BENCHMARK(BM_Create_QSettings)->Unit(benchmark::kMillisecond);

// The file as the panel usually finds it: written more than a moment ago.
void load_names_file(benchmark::State& state, const char* address) {
    CountingMessages messages;
    relay::NameFile names(messages, work_directory().path());
    QFile::remove(names.name_file_path());
    names.init_name_file([](const QString&) {});
    // A file written within the last 2 s has its bytes compared on every read.
    QThread::msleep(relay::ProfileCache::FreshNanoseconds / 1'000'000 + 100);
    for (auto _ : state) {
        benchmark::DoNotOptimize(names.load_channel_names(QString::fromLatin1(address)));
    }
}

// Every load finds the file edited: read and parsed afresh (the worst case).
void load_names_file_edited(benchmark::State& state, const char* address) {
    CountingMessages messages;
    relay::NameFile names(messages, work_directory().path());
    QFile::remove(names.name_file_path());
    names.init_name_file([](const QString&) {});
    int edit = 0;
    for (auto _ : state) {
        state.PauseTiming();
        names.save_channel_name(QStringLiteral("0"), QStringLiteral("1"),
                                QStringLiteral("edit %1").arg(++edit % 10));
        state.ResumeTiming();
        benchmark::DoNotOptimize(names.load_channel_names(QString::fromLatin1(address)));
    }
}

// QSettings opened afresh for each load, then 16 reads (it parses once and
// keeps the parsed file in a process-wide cache while the file is unchanged).
void load_names_qsettings(benchmark::State& state, const char* address) {
    create_with_qsettings();
    for (auto _ : state) {
        QSettings settings(settings_path(), QSettings::IniFormat);
        const QString section = QStringLiteral("地址码%1/").arg(QString::fromLatin1(address));
        QStringList result;
        for (int channel = 1; channel <= 16; ++channel) {
            result.append(
                settings.value(section + QStringLiteral("第%1路名称").arg(channel)).toString());
        }
        benchmark::DoNotOptimize(result);
    }
}

BENCHMARK_CAPTURE(load_names_file, Load1_NameFile, "1")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(load_names_qsettings, Load1_QSettings, "1")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(load_names_file, Load255_NameFile, "255")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(load_names_qsettings, Load255_QSettings, "255")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(load_names_file_edited, Load255_NameFileEdited, "255")
    ->Unit(benchmark::kMicrosecond);

// Keeps each benchmark's time per iteration for the ratios at the end.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration) {
                // The adjusted time is in the run's own unit.
                times_ms[run.benchmark_name()] = run.GetAdjustedRealTime() * 1e3 /
                                                 benchmark::GetTimeUnitMultiplier(run.time_unit);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times_ms;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const auto report = [&](const char* what, const std::string& ours, const std::string& theirs,
                            double target_ms) {
        const auto a = reporter.times_ms.find(ours);
        const auto b = reporter.times_ms.find(theirs);
        if (a == reporter.times_ms.end() || b == reporter.times_ms.end()) {
            return;
        }
        std::printf(
            "%-28s name file %8.3f ms  QSettings %8.3f ms  ratio %5.2f  (target < %g ms: %s)\n",
            what, a->second, b->second, a->second / b->second, target_ms,
            a->second < target_ms ? "met" : "MISSED");
    };
    std::printf("\n");
    report("create default contents", "BM_Create_NameFile", "BM_Create_QSettings", 20);
    report("load 16 names, address 1", "load_names_file/Load1_NameFile",
           "load_names_qsettings/Load1_QSettings", 2);
    report("load 16 names, address 255", "load_names_file/Load255_NameFile",
           "load_names_qsettings/Load255_QSettings", 2);
    report("load 16 names after an edit", "load_names_file_edited/Load255_NameFileEdited",
           "load_names_qsettings/Load255_QSettings", 2);
    return 0;
}
