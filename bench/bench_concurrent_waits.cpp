// Many terminals of one headless program typing barcodes at the same moment:
//   - a fleet of N VT100 Clients (--make-fleet, --fleet) with a pause of 10 ms
//     after each barcode character connects to one host on loopback;
//   - N control connections each ask their own terminal to type a 50-character
//     code, all written at once; the host notes when every byte arrives;
//   - per terminal: the time from its request to the last byte of its code,
//     and every gap between two bytes of one terminal.
// Targets: every terminal done within 0.6 s of its start; gap p99 under 15 ms,
// max under 50 ms. With nested waits the terminals would wait inside one
// another and these figures grow with N.
//   - last, the machine's own floor: the same number of one-byte sends over as
//     many loopback connections, from one thread doing nothing else, as fast as
//     the system takes them. Every character is a segment of its own, so the
//     program can be no faster than that.
// Usage: bench_concurrent_waits [terminals (1000)]

#include "support/figures.h"
#include "support/headless_control.h"
#include "support/real_program.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kCodeLength = 50;
constexpr int kDelayMs = 10;
constexpr int kPrefix = 5; // the terminal's number, first in its code

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

std::string codeFor(int index)
{
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%05d", index);
    return std::string(prefix) + std::string(kCodeLength - kPrefix, '7');
}

// One terminal as the host sees it.
struct Line {
    int fd = -1;
    std::string bytes;
    std::vector<Clock::time_point> times;
};

class Host {
public:
    bool open()
    {
        m_listener = bench::listenOnFreePort(&m_port, SOMAXCONN);
        if (m_listener < 0 || ::fcntl(m_listener, F_SETFL, O_NONBLOCK) != 0)
            return false;
        m_epoll = ::epoll_create1(0);
        watch(m_listener);
        return true;
    }
    ~Host()
    {
        for (const Line &line : m_lines)
            ::close(line.fd);
        ::close(m_epoll);
        ::close(m_listener);
    }

    quint16 port() const { return m_port; }
    std::size_t connected() const { return m_lines.size(); }
    std::size_t received() const { return m_received; }
    const std::vector<Line> &lines() const { return m_lines; }

    void step(Clock::time_point until)
    {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        epoll_event events[512];
        const int n = ::epoll_wait(m_epoll, events, 512, int(std::clamp<long long>(wait, 0, 50)));
        const auto now = Clock::now();
        for (int i = 0; i < n; ++i) {
            if (events[i].data.fd == m_listener) {
                accept();
                continue;
            }
            Line &line = m_lines[m_byFd[events[i].data.fd]];
            char buffer[4096];
            const ssize_t got = ::recv(line.fd, buffer, sizeof buffer, 0);
            if (got <= 0)
                continue;
            line.bytes.append(buffer, std::size_t(got));
            line.times.insert(line.times.end(), std::size_t(got), now);
            m_received += std::size_t(got);
        }
    }

private:
    void watch(int fd)
    {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
    }
    void accept()
    {
        const int one = 1;
        for (int fd; (fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;) {
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            watch(fd);
            m_byFd[fd] = m_lines.size();
            m_lines.push_back({fd, {}, {}});
        }
    }

    int m_listener = -1;
    int m_epoll = -1;
    quint16 m_port = 0;
    std::vector<Line> m_lines;
    std::unordered_map<int, std::size_t> m_byFd;
    std::size_t m_received = 0;
};

int connectControl(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", encoded.constData());
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads from fd up to and including the next newline; false at the end or on an error.
bool readLine(int fd, std::string &line)
{
    line.clear();
    char c = 0;
    while (::read(fd, &c, 1) == 1) {
        if (c == '\n')
            return true;
        line += c;
    }
    return false;
}

// Milliseconds for count connections x sends one-byte sends from this thread,
// with another thread reading them all; -1 when the connections cannot be made.
double loopbackFloorMs(int count, int sends)
{
    quint16 port = 0;
    const int listener = bench::listenOnFreePort(&port, SOMAXCONN);
    std::vector<int> senders;
    std::vector<int> readers;
    const int one = 1;
    const auto closeAll = [&] {
        for (const int fd : senders)
            ::close(fd);
        for (const int fd : readers)
            ::close(fd);
        ::close(listener);
    };
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    for (int i = 0; i < count && listener >= 0; ++i) {
        const int sender = ::socket(AF_INET, SOCK_STREAM, 0);
        if (sender >= 0)
            senders.push_back(sender);
        if (sender < 0 || ::connect(sender, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            break;
        ::setsockopt(sender, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const int reader = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
        if (reader < 0)
            break;
        readers.push_back(reader);
    }
    if (int(readers.size()) < count) {
        closeAll();
        return -1;
    }
    const long expected = long(count) * sends;
    std::atomic<long> received{0};
    std::thread reading([&] {
        const int epoll = ::epoll_create1(0);
        for (const int fd : readers) {
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.fd = fd;
            ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
        }
        epoll_event events[512];
        char buffer[4096];
        const auto giveUp = Clock::now() + 60s;
        while (received.load() < expected && Clock::now() < giveUp) {
            const int n = ::epoll_wait(epoll, events, 512, 100);
            for (int i = 0; i < n; ++i)
                if (const ssize_t got = ::recv(events[i].data.fd, buffer, sizeof buffer, 0); got > 0)
                    received += got;
        }
        ::close(epoll);
    });
    const auto start = Clock::now();
    for (int round = 0; round < sends; ++round)
        for (const int fd : senders)
            ::send(fd, "7", 1, MSG_NOSIGNAL);
    reading.join();
    const double ms = msBetween(start, Clock::now());
    closeAll();
    return received.load() == expected ? ms : -1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::clamp(std::atoi(argv[1]), 2, 5000) : 1000;
    const QString binary = qEnvironmentVariable("BENCH_PROGRAM", QStringLiteral(EMULATOR_BINARY));
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    std::printf("bench_concurrent_waits on %s, load %s\n", qPrintable(figures::machine()),
                qPrintable(figures::loadAverage()));
    std::fflush(stdout);

    Host host;
    QTemporaryDir folder;
    if (!host.open()) {
        std::fprintf(stderr, "bench_concurrent_waits: no host port\n");
        return 1;
    }
    QFile source(folder.filePath(QStringLiteral("Config.ini")));
    if (!source.open(QIODevice::WriteOnly))
        return 1;
    source.write("[Config]\r\nConexao=1\r\nEndereco=127.0.0.1\r\nProtocolo=0\r\nPorta=" +
                 QByteArray::number(host.port()) + "\r\n[CodigoBarras]\r\nCofig_Leitor=1\r\nDelai=" +
                 QByteArray::number(kDelayMs) + "\r\n");
    source.close();
    const QString dir = folder.filePath(QStringLiteral("fleet"));
    if (QProcess::execute(binary, {QStringLiteral("--make-fleet"), dir, QStringLiteral("--count"),
                                   QString::number(count), QStringLiteral("--from"), source.fileName()}) != 0) {
        std::fprintf(stderr, "bench_concurrent_waits: --make-fleet failed\n");
        return 1;
    }
    const QStringList names = QDir(dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    const QString socketPath = folder.filePath(QStringLiteral("control.sock"));
    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.start(binary, {QStringLiteral("--headless"), QStringLiteral("--fleet"), dir, QStringLiteral("--control"),
                           QStringLiteral("unix:") + socketPath});
    if (!program.waitForStarted(10000))
        return 1;
    const auto connectBy = Clock::now() + 120s;
    while (host.connected() < std::size_t(count) && Clock::now() < connectBy)
        host.step(Clock::now() + 50ms);
    if (host.connected() < std::size_t(count)) {
        std::fprintf(stderr, "bench_concurrent_waits: %zu of %d terminals connected\n", host.connected(), count);
        return 1;
    }
    program.waitForReadyRead(10000); // the ready line: the control socket listens

    std::vector<int> controls;
    std::string line;
    for (int i = 0; i < count; ++i) {
        const int fd = connectControl(socketPath);
        if (fd < 0 || !readLine(fd, line)) {
            std::fprintf(stderr, "bench_concurrent_waits: control connection %d refused\n", i);
            return 1;
        }
        controls.push_back(fd);
    }
    // Every request written at once; each terminal's start is the moment its own went.
    std::vector<Clock::time_point> started(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const std::string request = "{\"id\":1,\"cmd\":\"barcode\",\"terminal\":\"" + names.at(i).toStdString() +
                                    "\",\"code\":\"" + codeFor(i) + "\"}\n";
        started[std::size_t(i)] = Clock::now();
        if (!bench::writeAll(controls[std::size_t(i)], request))
            return 1;
    }
    const std::size_t expected = std::size_t(count) * (kCodeLength + 1);
    const auto limit = Clock::now() + 60s;
    while (host.received() < expected && Clock::now() < limit)
        host.step(limit);
    int answered = 0;
    for (const int fd : controls)
        if (readLine(fd, line) && line.find("\"ok\"") != std::string::npos)
            ++answered;

    std::vector<double> done;
    std::vector<double> gaps;
    int complete = 0;
    for (const Line &l : host.lines()) {
        const int index = l.bytes.size() >= std::size_t(kPrefix) ? std::atoi(l.bytes.substr(0, kPrefix).c_str()) : -1;
        if (index < 0 || index >= count || l.bytes != codeFor(index) + "\r")
            continue;
        ++complete;
        done.push_back(msBetween(started[std::size_t(index)], l.times.back()));
        for (std::size_t i = 1; i < l.times.size(); ++i)
            gaps.push_back(msBetween(l.times[i - 1], l.times[i]));
    }
    const double doneMax = done.empty() ? 0 : *std::max_element(done.begin(), done.end());
    const double gapP99 = figures::percentile(gaps, 99);
    const double gapMax = gaps.empty() ? 0 : *std::max_element(gaps.begin(), gaps.end());
    std::printf("%d terminals, %d-character codes, %d ms after each character: %d complete, %d answered\n", count,
                kCodeLength, kDelayMs, complete, answered);
    std::printf("  request to last byte: p50 %.0f ms, p99 %.0f ms, max %.0f ms  target max < 600 ms: %s\n",
                figures::percentile(done, 50), figures::percentile(done, 99), doneMax,
                complete == count && doneMax < 600 ? "met" : "MISSED");
    std::printf("  gap between characters: p50 %.1f ms, p99 %.1f ms, max %.1f ms  targets p99 < 15, max < 50: %s\n",
                figures::percentile(gaps, 50), gapP99, gapMax, gapP99 < 15 && gapMax < 50 ? "met" : "MISSED");
    for (const int fd : controls)
        ::close(fd);
    ::kill(pid_t(program.processId()), SIGTERM);
    program.waitForFinished(60000);
    const double floorMs = loopbackFloorMs(count, kCodeLength + 1);
    if (floorMs >= 0)
        std::printf("  this machine's floor: %d x %d one-byte loopback sends from one thread doing nothing else: "
                    "%.0f ms (%.1f us each)\n",
                    count, kCodeLength + 1, floorMs, floorMs * 1000 / (double(count) * (kCodeLength + 1)));
    return complete == count && answered == count ? 0 : 1;
}
