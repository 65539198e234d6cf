// Memory under a printing host: the real program, started offscreen as a
// VT100 Server by its own automatic start, takes 100 MiB for its serial
// interface and then 100 MiB for its parallel interface through the printer
// controller, in 4 KiB writes as fast as it reads them. Every write opens with
// the destination selection and the printer-controller switch, so a selection
// cut by a read boundary is made good by the next write. The figure is the
// growth of the peak resident size over the size once the program was up and
// connected, with the resident size after every 10 MiB along the way.
//
// Usage: bench_memory [MiB per interface]   (100 by default)

#include "support/figures.h"
#include "support/real_program.h"

#include <QCoreApplication>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace
{

constexpr int kWriteSize = 4096;
constexpr double kMaxGrowthMiB = 20;

const QByteArray kText = "The quick brown fox jumps over the lazy dog 0123456789";

double mib(long kib)
{
    return static_cast<double>(kib) / 1024.0;
}

// One interface's share: its own connection, ended by the host closing it.
bool printTo(bench::RealProgram &program, int fd, const char *name, const QByteArray &selection, qint64 size)
{
    bench::RepeatingStream stream(kText.left(38) + "\r\n", kWriteSize, size);
    stream.setChunkPrefix(selection);
    bench::PumpOptions options;
    std::printf("  %s, resident MiB after each 10 MiB:", name);
    options.progress = [&](qint64) {
        std::printf(" %.1f", mib(figures::statusKiB(program.pid(), "VmRSS")));
        std::fflush(stdout);
    };
    const bench::PumpResult result = bench::pump(fd, stream, options);
    if (!result.ok) {
        std::printf("\n  %s: %s\n", name, qPrintable(result.error));
        return false;
    }
    std::printf("\n  %s: %lld MiB at %.1f MiB/s\n", name, result.bytes >> 20, result.mibPerSecond());
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 size = (argc > 1 ? std::max(1, std::atoi(argv[1])) : 100) * qint64(1024 * 1024);
    std::printf("bench_memory on %s\n", qPrintable(figures::machine()));

    bench::RealProgram program(0);
    const int first = program.startAndConnect();
    if (first < 0) {
        std::printf("%s\n", qPrintable(program.error()));
        return 1;
    }
    // Let the main window settle (first paint, fonts) before taking the start.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long start = figures::statusKiB(program.pid(), "VmRSS");
    if (start < 0 || !figures::resetPeak(program.pid())) {
        std::printf("cannot read or reset the program's resident size\n");
        return 1;
    }
    std::printf("VT100 printer controller, %lld MiB to each interface in %d-byte writes\n", size >> 20,
                kWriteSize);
    std::printf("  resident at the start: %.1f MiB\n", mib(start));

    if (!printTo(program, first, "serial interface", "\x1b[?01h\x1b[5i", size))
        return 1;
    const int second = program.connectAgain();
    if (second < 0 || !printTo(program, second, "parallel interface", "\x1b[?01l\x1b[5i", size))
        return 1;

    const long peak = figures::statusKiB(program.pid(), "VmHWM");
    const long end = figures::statusKiB(program.pid(), "VmRSS");
    const double growth = mib(peak - start);
    std::printf("  peak resident %.1f MiB, at the end %.1f MiB: growth %.1f MiB (target < %.0f: %s)\n",
                mib(peak), mib(end), growth, kMaxGrowthMiB, growth < kMaxGrowthMiB ? "met" : "MISSED");
    return 0;
}
