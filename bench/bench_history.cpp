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

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kBoundMiB = 4;
constexpr double kSlackMiB = 8;
constexpr int kKeysPerRequest = 10000;

bool writeAll(int fd, const std::string &data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

// One reply line from a blocking socket, or false.
bool readLine(int fd, std::string &buffer, std::string &line)
{
    while (true) {
        const auto at = buffer.find('\n');
        if (at != std::string::npos) {
            line = buffer.substr(0, at);
            buffer.erase(0, at + 1);
            return true;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 60000) <= 0)
            return false;
        char chunk[4096];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0)
            return false;
        buffer.append(chunk, std::size_t(n));
    }
}

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
    const QString binary = qEnvironmentVariable("BENCH_PROGRAM", QStringLiteral(EMULATOR_BINARY));

    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    if (::bind(listener, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 || ::listen(listener, 4) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&local), &length) != 0)
        return fail("cannot listen on loopback");

    QTemporaryDir folder;
    QFile config(folder.filePath(QStringLiteral("Config.ini")));
    if (!config.open(QIODevice::WriteOnly))
        return fail("cannot write Config.ini");
    config.write("[Config]\r\nConexao=1\r\nEndereco=127.0.0.1\r\nProtocolo=0\r\nPorta=" +
                 QByteArray::number(ntohs(local.sin_port)) + "\r\n[CodigoBarras]\r\nDelai=0\r\n");
    config.close();

    const QString socketPath = folder.filePath(QStringLiteral("control.sock"));
    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(binary, {QStringLiteral("--headless"), QStringLiteral("--folder"), folder.path(),
                           QStringLiteral("--control"), QStringLiteral("unix:") + socketPath});
    if (!program.waitForStarted(10000) || !program.waitForReadyRead(10000))
        return fail("the program did not start");
    program.readLine();
    const long long pid = program.processId();

    const int host = ::accept(listener, nullptr, nullptr);
    const int control = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.toLocal8Bit().constData(), sizeof address.sun_path - 1);
    if (host < 0 || ::connect(control, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return fail("cannot connect");
    std::atomic<long long> received{0};
    std::thread drain([host, &received] {
        char chunk[65536];
        ssize_t n;
        while ((n = ::read(host, chunk, sizeof chunk)) > 0)
            received += n;
    });

    std::string buffer;
    std::string line;
    readLine(control, buffer, line); // greeting
    writeAll(control, R"({"id":0,"cmd":"wait","until":{"connected":true}})" "\n");
    if (!readLine(control, buffer, line) || line.find("\"ok\"") == std::string::npos)
        return fail("the terminal did not connect");

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
        if (!writeAll(control, request) || !readLine(control, buffer, line) ||
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

    ::close(control);
    program.terminate();
    program.waitForFinished(10000);
    ::shutdown(host, SHUT_RDWR);
    drain.join();
    ::close(host);
    std::printf("  bytes at the host: %lld of %lld\n", received.load(), sends);
    return 0;
}
