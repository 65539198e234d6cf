// The window under a flood of printed text: a whole emulator in-process,
// offscreen, started by itself as a VT100 Server from its "Config.ini". A host
// thread sends printer-controller text on loopback in 4 KiB writes as fast as
// the emulator reads them, first to the serial interface (every byte a line
// of the serial log), then on a second connection to the parallel interface
// (a line of the printer log per line feed). Meanwhile a 10 ms timer on the
// window thread records how late each of its timeouts comes: the wait a click
// or a key would see. After each flood the logs are checked against the
// outputs and grabbed as pictures (flood_serial.png, flood_parallel.png,
// flood_window.png in the current folder).
//
// Usage: bench_flood [MiB per interface]   (200 by default)

#include "engine/outputs.h"
#include "support/figures.h"
#include "support/in_process.h"
#include "support/real_program.h"
#include "ui/emulator_app.h"
#include "ui/main_window.h"
#include "ui/output_log_view.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

constexpr int kWriteSize = 4096;
constexpr int kTimerMs = 10;
constexpr double kMinMiBPerSecond = 50;
constexpr double kMaxLatenessP99Ms = 20;

const QByteArray kText = "The quick brown fox jumps over the lazy dog 0123456789";

double threadCpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A 10 ms single-shot timer restarted at every timeout; each sample is how
// much later than asked it came.
class LatenessProbe : public QObject
{
public:
    LatenessProbe()
    {
        m_timer.setSingleShot(true);
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            samples.push_back(static_cast<double>(m_started.nsecsElapsed()) / 1e6 - kTimerMs);
            arm();
        });
    }
    void arm()
    {
        m_started.start();
        m_timer.start(kTimerMs);
    }
    void stop() { m_timer.stop(); }
    std::vector<double> samples;

private:
    QTimer m_timer;
    QElapsedTimer m_started;
};

// One interface's flood on its own connection, ended by the host closing it.
struct Flood {
    const char *name;
    QByteArray selection;
    OutputLogView *TForm1::*log;
    const char *picture;
};

bool runFlood(QApplication &application, EmulatorApp &emulator, quint16 port, const Flood &flood, qint64 size)
{
    TForm1 &window = *emulator.form1();
    bench::RepeatingStream stream(kText.left(38) + "\r\n", kWriteSize, size);
    stream.setChunkPrefix(flood.selection);
    bench::PumpResult result;
    std::atomic<bool> done{false};
    std::thread host([&] {
        const int fd = bench::connectTo(port);
        if (fd < 0) {
            result.error = QStringLiteral("cannot connect to the emulator");
        } else {
            result = bench::pump(fd, stream, bench::PumpOptions{});
            ::close(fd);
        }
        done = true;
        QMetaObject::invokeMethod(
            &application, [] {}, Qt::QueuedConnection);
    });

    LatenessProbe probe;
    probe.arm();
    const double cpuBefore = threadCpuSeconds();
    while (!done)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    const double cpu = threadCpuSeconds() - cpuBefore;
    probe.stop();
    host.join();
    if (!result.ok) {
        std::printf("  %s: %s\n", flood.name, qPrintable(result.error));
        return false;
    }
    // Two frames for the last delivery to be shown, then the log must be the outputs' log.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 100)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    OutputLogView &log = *(window.*flood.log);
    const Outputs &outputs = *emulator.context().outputs;
    const std::deque<QByteArray> &expected =
        flood.log == &TForm1::IntPar ? outputs.parallelLog() : outputs.serialLog();
    bool same = log.shownLines() == static_cast<int>(expected.size()) && log.followsEnd();
    for (int row = 0; same && row < log.shownLines(); ++row)
        same = log.lineText(row) == QString::fromLatin1(expected[static_cast<std::size_t>(row)]);
    const QString picture = QDir::current().filePath(QString::fromLatin1(flood.picture));
    if (!log.grab().save(picture) ||
        !window.grab().save(QDir::current().filePath(QStringLiteral("flood_window.png")))) {
        std::printf("  %s: cannot save the pictures\n", flood.name);
        return false;
    }

    const std::vector<double> &late = probe.samples;
    const double p99 = figures::percentile(late, 99);
    std::printf(
        "  %s: %lld MiB at %.1f MiB/s (target >= %.0f: %s), window thread CPU %.2f s (%.2f ms per MiB)\n",
        flood.name, result.bytes >> 20, result.mibPerSecond(), kMinMiBPerSecond,
        result.mibPerSecond() >= kMinMiBPerSecond ? "met" : "MISSED", cpu,
        1000.0 * cpu / (static_cast<double>(result.bytes) / figures::kMiB));
    std::printf(
        "    10 ms timer, %zu timeouts: late by median %.2f ms, p99 %.2f ms, max %.2f ms (target p99 < %.0f "
        "ms: %s)\n",
        late.size(), figures::percentile(late, 50), p99, figures::percentile(late, 100), kMaxLatenessP99Ms,
        p99 < kMaxLatenessP99Ms ? "met" : "MISSED");
    std::printf("    log after the flood: %d lines, %s; picture %s\n", log.shownLines(),
                same ? "the outputs' lines, last line in view" : "NOT the outputs' lines",
                qPrintable(picture));
    std::fflush(stdout);
    return same;
}

} // namespace

int main(int argc, char *argv[])
{
    bench::quietOffscreen();
    QApplication application(argc, argv);
    const qint64 size = (argc > 1 ? std::max(1, std::atoi(argv[1])) : 200) * qint64(1024 * 1024);
    std::printf("bench_flood on %s, load average %s\n", qPrintable(figures::machine()),
                qPrintable(figures::loadAverage()));

    quint16 port = 0;
    const int probe = bench::listenOnFreePort(&port);
    ::close(probe);
    bench::InProcessEmulator inProcess(
        "[Config]\r\nPorta=" + QByteArray::number(port) +
        "\r\nEndereco=127.0.0.1\r\nProtocolo=0\r\nConexao=0\r\nInicializacao=1\r\n");
    if (port == 0 || !inProcess.app()) {
        std::printf("cannot prepare the working folder\n");
        return 1;
    }
    EmulatorApp &emulator = *inProcess.app();
    const bench::QuietPrompts &prompts = inProcess.prompts;
    if (!emulator.form1() || !emulator.form1()->isVisible()) {
        std::printf("the emulator did not start by itself\n");
        return 1;
    }
    const long long self = static_cast<long long>(::getpid());
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 500)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    const long start = figures::statusKiB(self, "VmRSS");
    figures::resetPeak(self);

    std::printf(
        "VT100 printer controller, %lld MiB to each interface in %d-byte writes, through the main window\n",
        size >> 20, kWriteSize);
    const std::vector<Flood> floods = {
        {"serial interface", "\x1b[?01h\x1b[5i", &TForm1::IntSer, "flood_serial.png"},
        {"parallel interface", "\x1b[?01l\x1b[5i", &TForm1::IntPar, "flood_parallel.png"},
    };
    bool ok = true;
    for (const Flood &flood : floods)
        ok = runFlood(application, emulator, port, flood, size) && ok;
    const long peak = figures::statusKiB(self, "VmHWM");
    std::printf("  resident at the start %.1f MiB, peak %.1f MiB (growth %.1f MiB)\n", start / 1024.0,
                peak / 1024.0, (peak - start) / 1024.0);
    if (!prompts.messages.isEmpty()) {
        std::printf("  %lld messages shown, the first: %s\n", static_cast<long long>(prompts.messages.size()),
                    qPrintable(prompts.messages.first()));
        ok = false;
    }
    return ok ? 0 : 1;
}
