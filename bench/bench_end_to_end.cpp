// Host data end to end: the real program, started offscreen as a Server by its
// own automatic start, takes 20 MiB from a host on loopback in 4 KiB writes as
// fast as it reads them. In the Zorvane protocol the stream is "D" frames of 40
// characters with a "T" status query slipped in every 100 ms, whose reply time
// is recorded; in VT100 it is plain text lines. Each run also sends the same
// stream to a reader that only discards it, the ceiling of loopback on this
// machine, so the program's figure reads as a share of it. The VT100 text is
// also drained by inetutils `telnet` writing to /dev/null in the same run: a
// program with a window should take a stream faster than a client without one.
//
// Usage: bench_end_to_end [runs]   (3 runs of each stream by default)

#include "support/figures.h"
#include "support/real_program.h"

#include <QCoreApplication>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace
{

constexpr qint64 kStreamSize = 20 * 1024 * 1024;
constexpr int kWriteSize = 4096;
constexpr double kMinMiBPerSecond = 10;
constexpr double kMaxReplyP99Ms = 50;
constexpr std::chrono::milliseconds kSustained{10000};
constexpr int kLeanSendBuffer = 64 * 1024;
constexpr double kMinTimesTelnet = 1.5;

const QByteArray kText = "The quick brown fox jumps over the lazy dog 0123456789";

// One kind of host traffic: the unit it repeats, whether "T" queries go with
// it and whether the Telnet client drains it too.
struct Stream {
    const char *title;
    int protocol;
    QByteArray unit;
    bool statusQueries;
    bool telnetPeer;
};

// In the plain framing "T" takes the two bytes after it, whatever they are.
const QByteArray kStatusQuery = QByteArrayLiteral("\x02T\x03\x03");

// The best of three transfers to a reader that only discards: what loopback
// itself manages on this machine at this moment.
bool ceiling(const Stream &stream, double *mibPerSecond)
{
    *mibPerSecond = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        bench::RepeatingStream source(stream.unit, kWriteSize, kStreamSize);
        bench::DiscardingReader reader;
        const int fd = reader.connect();
        if (fd < 0)
            return false;
        const bench::PumpResult result = bench::pump(fd, source, bench::PumpOptions{});
        ::close(fd);
        reader.finished();
        if (!result.ok || reader.bytesRead() != result.bytes)
            return false;
        *mibPerSecond = std::max(*mibPerSecond, result.mibPerSecond());
    }
    return true;
}

// The same stream drained by the reference Telnet client; its rate, or false.
bool telnetRate(const Stream &stream, double *mibPerSecond)
{
    bench::TelnetClient client;
    const int fd = client.startAndAccept();
    if (fd < 0) {
        std::printf("  telnet: %s\n", qPrintable(client.error()));
        return false;
    }
    bench::RepeatingStream source(stream.unit, kWriteSize, kStreamSize);
    const bench::PumpResult result = bench::pump(fd, source, bench::PumpOptions{});
    if (!result.ok) {
        std::printf("  telnet: %s\n", qPrintable(result.error));
        return false;
    }
    *mibPerSecond = result.mibPerSecond();
    return true;
}

// One program's run of one stream: what the host saw and the CPU the program used.
struct RunFigures {
    bench::PumpResult pumped;
    double cpu = 0;
};

// One program, one stream; false (with the reason printed) when the run failed.
bool runProgram(const Stream &stream, bench::RepeatingStream &&source, const char *label, RunFigures *figures,
                int sendBuffer = 0)
{
    bench::RealProgram program(stream.protocol);
    const int fd = program.startAndConnect();
    if (fd < 0) {
        std::printf("  %s: %s\n", label, qPrintable(program.error()));
        return false;
    }
    bench::PumpOptions options;
    options.sendBuffer = sendBuffer;
    if (stream.statusQueries) {
        options.query = kStatusQuery;
        options.endWithQuery = true;
    }
    const double cpuBefore = bench::cpuSeconds(program.pid());
    figures->pumped = bench::pump(fd, source, options);
    figures->cpu = bench::cpuSeconds(program.pid()) - cpuBefore;
    if (!figures->pumped.ok) {
        std::printf("  %s: %s\n", label, qPrintable(figures->pumped.error));
        return false;
    }
    return true;
}

void printReplies(const std::vector<double> &replies)
{
    std::printf("%zu \"T\" replies, median %.2f ms, p99 %.2f ms, max %.2f ms", replies.size(),
                figures::percentile(replies, 50), figures::percentile(replies, 99),
                figures::percentile(replies, 100));
}

bool runStream(const Stream &stream, int runs)
{
    std::printf("\n%s: %lld MiB in %d-byte writes%s\n", stream.title, kStreamSize >> 20, kWriteSize,
                stream.statusQueries ? ", a \"T\" query every 100 ms" : "");
    std::vector<double> rates;
    std::vector<double> timesTelnet;
    std::vector<double> replies;
    int unanswered = 0;
    for (int run = 1; run <= runs; ++run) {
        const QByteArray label = "run " + QByteArray::number(run);
        RunFigures figures;
        if (!runProgram(stream, bench::RepeatingStream(stream.unit, kWriteSize, kStreamSize), label,
                        &figures))
            return false;
        double loopback = 0;
        if (!ceiling(stream, &loopback)) {
            std::printf("  %s: the loopback reader failed\n", label.constData());
            return false;
        }
        const bench::PumpResult &result = figures.pumped;
        rates.push_back(result.mibPerSecond());
        replies.insert(replies.end(), result.replyMs.begin(), result.replyMs.end());
        unanswered += result.unanswered;
        std::printf("  %s: %7.1f MiB/s in %.3f s, program CPU %.3f s; loopback ceiling %7.1f MiB/s (program "
                    "%.1f%% of it)",
                    label.constData(), result.mibPerSecond(), result.seconds, figures.cpu, loopback,
                    100.0 * result.mibPerSecond() / loopback);
        if (stream.statusQueries) {
            std::printf("; ");
            printReplies(result.replyMs);
        }
        if (stream.telnetPeer) {
            double telnet = 0;
            if (!telnetRate(stream, &telnet))
                return false;
            timesTelnet.push_back(result.mibPerSecond() / telnet);
            std::printf("; telnet %7.1f MiB/s (program %.2f times it)", telnet, timesTelnet.back());
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    const double medianRate = figures::percentile(rates, 50);
    std::printf("  median of %d runs: %.1f MiB/s (target >= %.0f: %s)\n", runs, medianRate, kMinMiBPerSecond,
                medianRate >= kMinMiBPerSecond ? "met" : "MISSED");
    if (stream.telnetPeer) {
        const double times = figures::percentile(timesTelnet, 50);
        std::printf("  median of %d runs: program %.2f times the telnet client's rate (target >= %.1f: %s)\n",
                    runs, times, kMinTimesTelnet, times >= kMinTimesTelnet ? "met" : "MISSED");
    }
    if (!stream.statusQueries)
        return true;

    // At these rates 20 MiB lasts a fraction of a second, a handful of queries;
    // a longer flood of the same frames gives the reply times a real tail. A
    // query waits behind everything queued ahead of it, and on loopback most
    // of that sits in the host's own send buffer, which the system lets grow
    // to megabytes; a second flood from a host that keeps 64 KiB queued shows
    // how much of the reply time is the program's.
    RunFigures sustained;
    if (!runProgram(stream, bench::RepeatingStream(stream.unit, kWriteSize, kSustained), "sustained",
                    &sustained))
        return false;
    const bench::PumpResult &flood = sustained.pumped;
    std::printf("  sustained flood of %lld s: %.1f MiB/s, program CPU %.2f s (%.2f ms per MiB); ",
                static_cast<long long>(kSustained.count() / 1000), flood.mibPerSecond(), sustained.cpu,
                1000.0 * sustained.cpu / (static_cast<double>(flood.bytes) / figures::kMiB));
    printReplies(flood.replyMs);
    std::printf("\n");
    replies.insert(replies.end(), flood.replyMs.begin(), flood.replyMs.end());
    unanswered += flood.unanswered;

    RunFigures lean;
    if (!runProgram(stream, bench::RepeatingStream(stream.unit, kWriteSize, kSustained), "lean host", &lean,
                    kLeanSendBuffer))
        return false;
    const double leanP99 = figures::percentile(lean.pumped.replyMs, 99);
    std::printf("  the same from a host with a %d KiB send buffer: %.1f MiB/s, program CPU %.2f s; ",
                kLeanSendBuffer / 1024, lean.pumped.mibPerSecond(), lean.cpu);
    printReplies(lean.pumped.replyMs);
    std::printf(" (target p99 < %.0f ms: %s)\n", kMaxReplyP99Ms, leanP99 < kMaxReplyP99Ms ? "met" : "MISSED");
    unanswered += lean.pumped.unanswered;

    const double p99 = figures::percentile(replies, 99);
    std::printf("  20 MiB runs and the sustained flood: ");
    printReplies(replies);
    std::printf(" (target p99 < %.0f ms: %s)", kMaxReplyP99Ms, p99 < kMaxReplyP99Ms ? "met" : "MISSED");
    if (unanswered > 0)
        std::printf(", %d queries unanswered (a read boundary cut them)", unanswered);
    std::printf("\n");
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    std::printf("bench_end_to_end on %s\n", qPrintable(figures::machine()));

    const std::vector<Stream> streams = {
        {"Zorvane \"D\" frames of 40 characters", 1,
         "\x02"
         "D" +
             kText.left(40) + "\x03",
         true, false},
        {"VT100 text lines of 38 characters and CR LF", 0, kText.left(38) + "\r\n", false, true},
    };
    bool ok = true;
    for (const Stream &stream : streams)
        ok = runStream(stream, runs) && ok;
    return ok ? 0 : 1;
}
