// Ten thousand terminals in one headless program against one host on loopback:
//   - a fleet of N Zorvane Clients (--make-fleet, --fleet) connects to a host
//     that accepts them all (time from the program's start to the last accept);
//   - idle: the program's CPU over 5 s with every connection open, and its
//     resident memory, against that of a fleet of 100 (the memory per added
//     terminal is the difference over the terminals added);
//   - polled: the host asks every terminal "T" once a second, the polls of
//     the N terminals spread evenly over the second (N a second in all), and
//     times each reply from its write to the reply's last byte;
//   - for information, the same "T" sent to all N at once, three times.
// The host is one thread on epoll; the sockets are non-blocking, TCP_NODELAY.
// Usage: bench_fleet_poll [terminals (10000)] [polled seconds (10)]

#include "support/figures.h"
#include "support/real_program.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kSmallFleet = 100;
constexpr auto kIdle = 5s;

const char kQuery[] = "\x02T\x03\x03"; // plain framing: "T" takes the two bytes after the letter
constexpr std::size_t kReplyBytes = 5;  // STX ESC status "T" ETX

struct Peer {
    int fd = -1;
    std::size_t pending = 0; // reply bytes still to come
    Clock::time_point queried;
};

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// The host: a listener and every terminal's connection on one epoll set.
class Host {
public:
    bool open()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof local;
        if (::bind(m_listener, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
            ::listen(m_listener, SOMAXCONN) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&local), &length) != 0)
            return false;
        m_port = ntohs(local.sin_port);
        m_epoll = ::epoll_create1(0);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = m_listener;
        return ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_listener, &event) == 0;
    }
    ~Host()
    {
        for (const Peer &peer : m_peers)
            ::close(peer.fd);
        if (m_epoll >= 0)
            ::close(m_epoll);
        if (m_listener >= 0)
            ::close(m_listener);
    }

    quint16 port() const { return m_port; }
    std::size_t connected() const { return m_peers.size(); }
    bool lost() const { return m_lost; }
    std::vector<double> &replies() { return m_replies; }
    std::size_t outstanding() const { return m_outstanding; }

    // Handles what is ready, waiting at most until `until`.
    void step(Clock::time_point until)
    {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        epoll_event events[512];
        const int n = ::epoll_wait(m_epoll, events, 512, int(std::clamp<long long>(wait, 0, 100)));
        const auto now = Clock::now();
        for (int i = 0; i < n; ++i) {
            if (events[i].data.fd == m_listener) {
                accept();
                continue;
            }
            read(m_byFd[events[i].data.fd], now);
        }
    }

    void query(std::size_t index)
    {
        Peer &peer = m_peers[index];
        if (peer.pending > 0)
            return; // still waiting for the last one: a slow reply is timed as one
        if (::send(peer.fd, kQuery, 4, MSG_NOSIGNAL) != 4) {
            m_lost = true;
            return;
        }
        peer.queried = Clock::now();
        peer.pending = kReplyBytes;
        ++m_outstanding;
    }

private:
    void accept()
    {
        const int one = 1;
        while (true) {
            const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK);
            if (fd < 0)
                return;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.fd = fd;
            ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
            m_byFd[fd] = m_peers.size();
            m_peers.push_back({fd, 0, {}});
        }
    }

    void read(std::size_t index, Clock::time_point now)
    {
        Peer &peer = m_peers[index];
        char buffer[256];
        const ssize_t n = ::recv(peer.fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                m_lost = true;
            return;
        }
        if (peer.pending == 0)
            return;
        peer.pending -= std::min(peer.pending, std::size_t(n));
        if (peer.pending == 0) {
            m_replies.push_back(msBetween(peer.queried, now));
            --m_outstanding;
        }
    }

    int m_listener = -1;
    int m_epoll = -1;
    quint16 m_port = 0;
    bool m_lost = false;
    std::vector<Peer> m_peers;
    std::unordered_map<int, std::size_t> m_byFd;
    std::vector<double> m_replies;
    std::size_t m_outstanding = 0;
};

bool writeFile(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

struct Fleet {
    QProcess program;
    long long pid = 0;
    double connectSeconds = 0;
};

// Makes and starts a fleet of count Clients of the host; true once all are connected.
bool startFleet(const QString &binary, const QTemporaryDir &folder, Host &host, int count, Fleet &fleet,
                QString *error)
{
    const QString source = folder.filePath(QStringLiteral("source-%1").arg(count));
    QDir().mkpath(source);
    writeFile(source + QStringLiteral("/Config.ini"),
              "[Config]\r\nConexao=1\r\nEndereco=127.0.0.1\r\nProtocolo=1\r\nPorta=" +
                  QByteArray::number(host.port()) + "\r\n");
    const QString dir = folder.filePath(QStringLiteral("fleet-%1").arg(count));
    if (QProcess::execute(binary, {QStringLiteral("--make-fleet"), dir, QStringLiteral("--count"),
                                   QString::number(count), QStringLiteral("--from"),
                                   source + QStringLiteral("/Config.ini")}) != 0) {
        *error = QStringLiteral("--make-fleet failed");
        return false;
    }
    fleet.program.setProcessChannelMode(QProcess::ForwardedChannels);
    const auto started = Clock::now();
    fleet.program.start(binary, {QStringLiteral("--headless"), QStringLiteral("--fleet"), dir});
    if (!fleet.program.waitForStarted(10000)) {
        *error = QStringLiteral("the program did not start");
        return false;
    }
    fleet.pid = fleet.program.processId();
    const auto deadline = started + 120s;
    while (host.connected() < std::size_t(count) && Clock::now() < deadline &&
           fleet.program.state() == QProcess::Running)
        host.step(Clock::now() + 50ms);
    fleet.connectSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (host.connected() < std::size_t(count)) {
        *error = QStringLiteral("%1 of %2 terminals connected").arg(host.connected()).arg(count);
        return false;
    }
    return true;
}

void stop(Fleet &fleet)
{
    ::kill(pid_t(fleet.pid), SIGTERM);
    fleet.program.waitForFinished(60000);
}

void printReplies(const char *what, const std::vector<double> &replies)
{
    std::printf("  %s: %zu replies, p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", what, replies.size(),
                figures::percentile(replies, 50), figures::percentile(replies, 99),
                replies.empty() ? 0.0 : *std::max_element(replies.begin(), replies.end()));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::clamp(std::atoi(argv[1]), kSmallFleet + 1, 10000) : 10000;
    const int seconds = argc > 2 ? std::clamp(std::atoi(argv[2]), 1, 600) : 10;
    const QString binary = qEnvironmentVariable("BENCH_PROGRAM", QStringLiteral(EMULATOR_BINARY));
    // The host holds one socket per terminal too.
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    std::printf("bench_fleet_poll on %s, load %s\n", qPrintable(figures::machine()), qPrintable(figures::loadAverage()));
    std::fflush(stdout);
    QTemporaryDir folder;
    QString error;

    double smallKiB = 0;
    {
        Host host;
        Fleet few;
        if (!host.open() || !startFleet(binary, folder, host, kSmallFleet, few, &error)) {
            std::fprintf(stderr, "bench_fleet_poll: %s\n", qPrintable(error));
            return 1;
        }
        host.step(Clock::now() + 1s);
        smallKiB = double(figures::statusKiB(few.pid, "VmRSS"));
        stop(few);
    }

    Host host;
    Fleet many;
    if (!host.open() || !startFleet(binary, folder, host, count, many, &error)) {
        std::fprintf(stderr, "bench_fleet_poll: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%d terminals connected in %.2f s (from the program's start)\n", count, many.connectSeconds);

    // Idle: every connection open, nothing said.
    const auto settle = Clock::now() + 2s;
    while (Clock::now() < settle)
        host.step(settle);
    const double idleFrom = bench::cpuSeconds(many.pid);
    const auto idleTo = Clock::now() + kIdle;
    while (Clock::now() < idleTo)
        host.step(idleTo);
    const double idleCpu = 100.0 * (bench::cpuSeconds(many.pid) - idleFrom) / std::chrono::duration<double>(kIdle).count();
    const double manyKiB = double(figures::statusKiB(many.pid, "VmRSS"));
    const double perTerminal = (manyKiB - smallKiB) / double(count - kSmallFleet);
    std::printf("  resident %.1f MiB (%d terminals: %.1f MiB), %.1f KiB per added terminal  target < 64 KiB: %s\n",
                manyKiB / 1024, kSmallFleet, smallKiB / 1024, perTerminal, perTerminal < 64 ? "met" : "MISSED");
    std::printf("  idle CPU %.1f %% of a core\n", idleCpu);
    std::fflush(stdout);

    // Polled: terminal i at i/N of every second.
    const auto period = std::chrono::duration_cast<Clock::duration>(1s);
    const auto begin = Clock::now();
    const auto end = begin + seconds * period;
    const double pollFrom = bench::cpuSeconds(many.pid);
    long long sent = 0;
    while (Clock::now() < end && !host.lost()) {
        const auto now = Clock::now();
        const auto dueNow = static_cast<long long>(double((now - begin).count()) / double(period.count()) * count) + 1;
        const long long due = std::min<long long>(dueNow, static_cast<long long>(seconds) * count);
        for (; sent < due; ++sent)
            host.query(std::size_t(sent % count));
        const Clock::time_point next = begin + period * (sent / count) + period * (sent % count) / count;
        host.step(std::min<Clock::time_point>(next, end));
    }
    const auto drain = Clock::now() + 5s;
    while (host.outstanding() > 0 && Clock::now() < drain && !host.lost())
        host.step(drain);
    const double pollCpu = 100.0 * (bench::cpuSeconds(many.pid) - pollFrom) /
                           std::chrono::duration<double>(Clock::now() - begin).count();
    if (host.lost()) {
        std::fprintf(stderr, "bench_fleet_poll: a terminal closed its connection\n");
        return 1;
    }
    std::vector<double> spread = std::move(host.replies());
    host.replies().clear();
    std::printf("polled: %lld \"T\" over %d s (%d a second), program CPU %.0f %% of a core\n", sent, seconds, count,
                pollCpu);
    printReplies("reply at the host", spread);
    const double p99 = figures::percentile(spread, 99);
    std::printf("  target p99 < 10 ms: %s\n", p99 < 10 ? "met" : "MISSED");
    std::fflush(stdout);

    // All at once, for information.
    for (int round = 0; round < 3; ++round) {
        const auto start = Clock::now();
        for (int i = 0; i < count; ++i)
            host.query(std::size_t(i));
        const auto limit = start + 30s;
        while (host.outstanding() > 0 && Clock::now() < limit && !host.lost())
            host.step(limit);
        std::printf("  all %d at once, round %d: last reply after %.1f ms;", count, round + 1,
                    msBetween(start, Clock::now()));
        printReplies("", host.replies());
        host.replies().clear();
        const auto pause = Clock::now() + 1s;
        while (Clock::now() < pause)
            host.step(pause);
    }
    stop(many);
    return 0;
}
