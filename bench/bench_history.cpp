// The memory of the control interface's history of sends and reads (what a
// "wait" with "after_seq" looks back on): the real headless program, VT100
// Client of a loopback host that reads and discards, is made to send 5 million
// one-byte sends (10,000-character "type" requests over its control socket,
// one key and one send per character). The history is bounded to 4 MiB; the
// figure is the growth of the program's peak resident size over its size once
// connected, against that bound plus 8 MiB.
//
// Usage: bench_history [million sends]   (5 by default)

#include "support/figures.h"
#include "support/headless_control.h"

#include <QCoreApplication>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kBoundMiB = 4;
constexpr double kSlackMiB = 8;
constexpr int kKeysPerRequest = 10000;

int fail(const char *what)
{
    std::fprintf(stderr, "bench_history: %s\n", what);
    return 1;
}

double mib(long kib)
{
    return static_cast<double>(kib) / 1024.0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const long long sends = (argc > 1 ? std::max(1, std::atoi(argv[1])) : 5) * 1000000LL;
    bench::HeadlessControl program;
    if (!program.start(QStringLiteral(EMULATOR_BINARY)))
        return fail(qPrintable(program.error()));
    const long long pid = program.pid();
    const int host = program.host();
    std::atomic<long long> received{0};
    std::thread drain([host, &received] {
        char chunk[65536];
        ssize_t n;
        while ((n = ::read(host, chunk, sizeof chunk)) > 0)
            received += n;
    });
    std::string line;

    std::printf("bench_history on %s, load %s\n", qPrintable(figures::machine()), qPrintable(figures::loadAverage()));
    const long start = figures::statusKiB(pid, "VmRSS");
    if (start < 0 || !figures::resetPeak(pid))
        return fail("cannot read or reset the program's resident size");

    std::string text;
    for (int i = 0; i < kKeysPerRequest; ++i)
        text += char('0' + i % 10);
    const std::string request = R"({"cmd":"type","text":")" + text + "\"}\n";
    const auto began = Clock::now();
    std::printf("%lld one-byte sends in %d-key \"type\" requests; resident MiB after each million:", sends,
                kKeysPerRequest);
    for (long long done = 0; done < sends; done += kKeysPerRequest) {
        if (!bench::writeAll(program.control(), request) || !program.line(line, 60000) ||
            line.find("\"ok\"") == std::string::npos)
            return fail("a type request failed");
        if ((done + kKeysPerRequest) % 1000000 == 0) {
            std::printf(" %.1f", mib(figures::statusKiB(pid, "VmRSS")));
            std::fflush(stdout);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
    const long peak = figures::statusKiB(pid, "VmHWM");
    const double growth = mib(peak - start);
    std::printf("\n  %.0f sends/s; resident at the start %.1f MiB, peak %.1f MiB: growth %.1f MiB "
                "(target < %.0f + %.0f: %s)\n",
                double(sends) / seconds, mib(start), mib(peak), growth, kBoundMiB, kSlackMiB,
                growth < kBoundMiB + kSlackMiB ? "met" : "MISSED");

    program.stop();
    ::shutdown(host, SHUT_RDWR);
    drain.join();
    std::printf("  bytes at the host: %lld of %lld\n", received.load(), sends);
    return 0;
}
