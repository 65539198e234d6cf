// The control interface of the real headless program, VT100 Client of a host
// on loopback, driven over its local socket the way a test suite drives it:
//   - "state" round trip, one request at a time;
//   - a "wait" on display text: from the host's write of the text to the
//     wait's reply;
//   - 10,000 "key" requests written in a row: every key reaches the host, in
//     order, none lost.
// Usage: bench_control [round trips]

#include "support/figures.h"
#include "support/headless_control.h"

#include <QCoreApplication>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int fail(const char *what)
{
    std::fprintf(stderr, "bench_control: %s\n", what);
    return 1;
}

void report(const char *name, std::vector<double> samples, double target)
{
    const double p50 = figures::percentile(samples, 50);
    const double p99 = figures::percentile(samples, 99);
    const double max = figures::percentile(samples, 100);
    std::printf("%-34s p50 %.3f ms  p99 %.3f ms  max %.3f ms  (%zu)  target p99 < %.0f ms: %s\n", name, p50, p99,
                max, samples.size(), target, p99 < target ? "met" : "MISSED");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int roundTrips = argc > 1 ? std::max(100, std::atoi(argv[1])) : 5000;
    bench::HeadlessControl program;
    if (!program.start(QStringLiteral(EMULATOR_BINARY)))
        return fail(qPrintable(program.error()));
    const int host = program.host();
    const int control = program.control();
    const int one = 1;
    ::setsockopt(host, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string line;
    using bench::writeAll;

    std::printf("bench_control on %s, load %s\n", qPrintable(figures::machine()), qPrintable(figures::loadAverage()));

    std::vector<double> stateTimes;
    for (int i = 0; i < roundTrips; ++i) {
        const auto start = Clock::now();
        writeAll(control, "{\"id\":" + std::to_string(i) + ",\"cmd\":\"state\"}\n");
        if (!program.line(line))
            return fail("no reply to state");
        stateTimes.push_back(msSince(start));
    }
    report("state round trip", stateTimes, 1);

    std::vector<double> waitTimes;
    for (int i = 0; i < 500; ++i) {
        const std::string mark = "M" + std::to_string(i) + "X";
        writeAll(control, R"({"id":1,"cmd":"wait","until":{"display":")" + mark + R"("},"timeout_ms":5000})" "\n");
        // Give the request time to arrive, as a test does between arming a wait and acting.
        ::usleep(2000);
        const auto start = Clock::now();
        writeAll(host, "\x1b[J" + mark);
        if (!program.line(line) || line.find("\"ok\"") == std::string::npos)
            return fail("a display wait did not end");
        waitTimes.push_back(msSince(start));
    }
    report("display wait after the host's bytes", waitTimes, 5);

    constexpr int kKeys = 10000;
    std::string requests;
    std::string expected;
    for (int i = 0; i < kKeys; ++i) {
        const char digit = char('0' + i % 10);
        requests += "{\"id\":" + std::to_string(i) + ",\"cmd\":\"key\",\"key\":\"" + digit + "\"}\n";
        expected += digit;
    }
    const auto start = Clock::now();
    writeAll(control, requests);
    int answered = 0;
    while (answered < kKeys && program.line(line))
        ++answered;
    std::string received;
    while (received.size() < expected.size()) {
        pollfd p{host, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0)
            break;
        char chunk[65536];
        const ssize_t n = ::read(host, chunk, sizeof chunk);
        if (n <= 0)
            break;
        received.append(chunk, std::size_t(n));
    }
    const double elapsed = msSince(start);
    const bool inOrder = received == expected;
    std::printf("%-34s %d replies, %zu bytes at the host in %.0f ms, in order and complete: %s\n",
                "10,000 key requests in a row", answered, received.size(), elapsed, inOrder ? "met" : "MISSED");

    program.stop();
    return inOrder && answered == kKeys ? 0 : 1;
}
