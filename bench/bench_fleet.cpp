// Many terminals in one headless program against one host on loopback:
//   - a fleet of N Zorvane Clients (--make-fleet, --fleet), every terminal
//     typing its "Digitacoes.ini" (one key every 100 ms), started over a
//     two-second ramp (--playback --ramp-up);
//   - the host answers every key at once with a display frame and asks each
//     terminal for its status ("T") every 250 ms, timing each reply from its
//     own write to the reply's last byte;
//   - over a 10 s window: the program's resident memory and CPU, every
//     terminal's reply time p99 as the host sees it, and the figures the
//     program writes at exit (--metrics);
//   - the same with a small fleet, so that the memory per added terminal is
//     the difference divided by the terminals added.
// Usage: bench_fleet [terminals] [small fleet]

#include "support/figures.h"
#include "support/real_program.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kRamp = 2000ms;
constexpr auto kSettle = 1500ms;
constexpr auto kWindow = 10s;
constexpr auto kQueryEvery = 250ms;

// One terminal's connection as the host sees it.
struct Peer {
    int fd = -1;
    std::string in;
    std::optional<Clock::time_point> queried;
    Clock::time_point nextQuery;
    std::vector<double> replyMs;
    long keys = 0;
};

struct RunFigures {
    bool ok = false;
    QString error;
    int terminals = 0;
    double rssMiB = 0;
    double cpuPercent = 0;
    long keys = 0;
    std::vector<double> replyP99PerTerminal;
    std::vector<double> allReplies;
    QJsonObject metrics;
};

bool writeFile(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Reads what a terminal sent: single key bytes (answered with a display
// frame) and status frames STX ESC s "T" ETX (the reply to a query).
bool serve(Peer &peer, bool measuring)
{
    char buffer[4096];
    const ssize_t n = ::read(peer.fd, buffer, sizeof buffer);
    if (n <= 0)
        return false;
    const auto now = Clock::now();
    peer.in.append(buffer, std::size_t(n));
    std::string answers;
    std::size_t pos = 0;
    while (pos < peer.in.size()) {
        if (peer.in[pos] == '\x02') {
            if (peer.in.size() - pos < 5)
                break;
            if (peer.queried && measuring)
                peer.replyMs.push_back(msBetween(*peer.queried, now));
            peer.queried.reset();
            pos += 5;
            continue;
        }
        answers += std::string("\x02" "D") + peer.in[pos] + '\x03';
        ++peer.keys;
        ++pos;
    }
    peer.in.erase(0, pos);
    if (!answers.empty() && ::send(peer.fd, answers.data(), answers.size(), MSG_NOSIGNAL) < 0)
        return false;
    return true;
}

RunFigures runFleet(const QString &binary, int count)
{
    RunFigures figures;
    figures.terminals = count;
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    if (::bind(listener, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        ::listen(listener, 1024) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
        figures.error = QStringLiteral("cannot listen on loopback");
        return figures;
    }
    ::fcntl(listener, F_SETFL, ::fcntl(listener, F_GETFL) | O_NONBLOCK);

    QTemporaryDir folder;
    const QString source = folder.filePath(QStringLiteral("source"));
    QDir().mkpath(source);
    writeFile(source + QStringLiteral("/Config.ini"),
              "[Config]\r\nConexao=1\r\nEndereco=127.0.0.1\r\nProtocolo=1\r\nPorta=" +
                  QByteArray::number(ntohs(local.sin_port)) + "\r\n[CodigoBarras]\r\nDelai=0\r\n");
    writeFile(source + QStringLiteral("/Digitacoes.ini"),
              "[Parametros]\r\nTempo_entre_caracteres=100\r\nTempo_entre_campos=100\r\nTempo_de_Loop=100\r\n"
              "Numero_de_Inputs=2\r\n[Inputs]\r\n0=12345678\r\n1=ABCDEFGH\r\n");
    const QString fleetDir = folder.filePath(QStringLiteral("fleet"));
    const QString metricsFile = folder.filePath(QStringLiteral("metrics.json"));
    if (QProcess::execute(binary, {QStringLiteral("--make-fleet"), fleetDir, QStringLiteral("--count"),
                                   QString::number(count), QStringLiteral("--from"),
                                   source + QStringLiteral("/Config.ini")}) != 0) {
        figures.error = QStringLiteral("--make-fleet failed");
        return figures;
    }

    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList arguments{QStringLiteral("--headless"), QStringLiteral("--fleet"), fleetDir,
                          QStringLiteral("--metrics"), metricsFile};
    if (!qEnvironmentVariableIsSet("BENCH_NO_PLAYBACK"))
        arguments << QStringLiteral("--playback") << QStringLiteral("--ramp-up")
                  << QString::number(std::chrono::milliseconds(kRamp).count());
    program.start(binary, arguments);
    if (!program.waitForStarted(10000)) {
        figures.error = QStringLiteral("the program did not start");
        return figures;
    }
    const long long pid = program.processId();

    std::vector<Peer> peers;
    const auto started = Clock::now();
    const auto measureFrom = started + kRamp + kSettle;
    const auto measureTo = measureFrom + kWindow;
    double cpuAtStart = -1;
    const int one = 1;
    while (Clock::now() < measureTo) {
        std::vector<pollfd> fds{{listener, POLLIN, 0}};
        for (const Peer &peer : peers)
            fds.push_back({peer.fd, POLLIN, 0});
        ::poll(fds.data(), nfds_t(fds.size()), 5);
        const auto now = Clock::now();
        const bool measuring = now >= measureFrom;
        if (measuring && cpuAtStart < 0)
            cpuAtStart = bench::cpuSeconds(pid);
        if (fds[0].revents & POLLIN) {
            while (true) {
                const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
                if (fd < 0)
                    break;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                Peer peer;
                peer.fd = fd;
                // Queries spread over the period, so they do not all leave at once.
                peer.nextQuery = now + kQueryEvery * (int(peers.size()) % 50) / 50;
                peers.push_back(std::move(peer));
            }
        }
        for (std::size_t i = 0; i < peers.size(); ++i) {
            if ((fds.size() > i + 1 && (fds[i + 1].revents & (POLLIN | POLLHUP))) && !serve(peers[i], measuring)) {
                figures.error = QStringLiteral("a terminal closed its connection");
                program.kill();
                return figures;
            }
            Peer &peer = peers[i];
            if (!peer.queried && now >= peer.nextQuery) {
                // Plain framing: the "T" takes the two bytes after the letter.
                static const char query[] = "\x02T\x03\x03";
                if (::send(peer.fd, query, 4, MSG_NOSIGNAL) == 4)
                    peer.queried = Clock::now();
                peer.nextQuery = now + kQueryEvery;
            }
        }
    }
    const double cpu = bench::cpuSeconds(pid) - cpuAtStart;
    figures.cpuPercent = 100.0 * cpu / std::chrono::duration<double>(kWindow).count();
    figures.rssMiB = double(figures::statusKiB(pid, "VmRSS")) / 1024.0;
    ::kill(pid_t(pid), SIGTERM);
    program.waitForFinished(30000);
    for (Peer &peer : peers) {
        figures.keys += peer.keys;
        figures.replyP99PerTerminal.push_back(figures::percentile(peer.replyMs, 99));
        figures.allReplies.insert(figures.allReplies.end(), peer.replyMs.begin(), peer.replyMs.end());
        ::close(peer.fd);
    }
    ::close(listener);
    if (int(peers.size()) != count) {
        figures.error = QStringLiteral("%1 of %2 terminals connected").arg(peers.size()).arg(count);
        return figures;
    }
    QFile metrics(metricsFile);
    if (!metrics.open(QIODevice::ReadOnly)) {
        figures.error = QStringLiteral("the program wrote no figures");
        return figures;
    }
    figures.metrics = QJsonDocument::fromJson(metrics.readAll()).object();
    figures.ok = true;
    return figures;
}

void print(const RunFigures &run)
{
    const QJsonObject fleet = run.metrics.value(QStringLiteral("fleet")).toObject();
    const QJsonObject response = fleet.value(QStringLiteral("response_ms")).toObject();
    const QJsonObject reply = fleet.value(QStringLiteral("reply_ms")).toObject();
    double ownReplyP99 = 0;
    for (const QJsonValue terminal : run.metrics.value(QStringLiteral("terminals")).toArray())
        ownReplyP99 = std::max(ownReplyP99, terminal.toObject()
                                                .value(QStringLiteral("reply_ms"))
                                                .toObject()
                                                .value(QStringLiteral("p99"))
                                                .toDouble());
    const double worstP99 = run.replyP99PerTerminal.empty()
                                ? 0
                                : *std::max_element(run.replyP99PerTerminal.begin(), run.replyP99PerTerminal.end());
    std::printf("%d terminals: resident %.1f MiB, CPU %.0f %% of a core, %ld keys in %lld s (%.0f/s)\n",
                run.terminals, run.rssMiB, run.cpuPercent, run.keys,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(kWindow).count()),
                double(run.keys) / std::chrono::duration<double>(kWindow).count());
    std::printf("  \"T\" reply at the host: p50 %.2f ms, p99 %.2f ms over all (%zu); worst terminal's p99 %.2f ms"
                "  target < 10 ms: %s\n",
                figures::percentile(run.allReplies, 50), figures::percentile(run.allReplies, 99),
                run.allReplies.size(), worstP99, worstP99 < 10 ? "met" : "MISSED");
    std::printf("  program's figures: response p50 %.2f ms p99 %.2f ms (%lld), own reply p99 %.3f ms (worst "
                "terminal %.3f ms), connection losses %lld\n",
                response.value(QStringLiteral("p50")).toDouble(), response.value(QStringLiteral("p99")).toDouble(),
                static_cast<long long>(response.value(QStringLiteral("count")).toInteger()),
                reply.value(QStringLiteral("p99")).toDouble(), ownReplyP99,
                static_cast<long long>(fleet.value(QStringLiteral("connection_losses")).toInteger()));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int large = argc > 1 ? std::clamp(std::atoi(argv[1]), 2, 1000) : 200;
    const int small = argc > 2 ? std::clamp(std::atoi(argv[2]), 1, large - 1) : 20;
    const QString binary = qEnvironmentVariable("BENCH_PROGRAM", QStringLiteral(EMULATOR_BINARY));
    std::printf("bench_fleet on %s, load %s\n", qPrintable(figures::machine()), qPrintable(figures::loadAverage()));
    std::fflush(stdout);

    // The small fleet first, then the large one: the difference is what the added terminals cost.
    std::vector<RunFigures> runs;
    for (const int count : {small, large}) {
        runs.push_back(runFleet(binary, count));
        if (!runs.back().ok) {
            std::fprintf(stderr, "bench_fleet: %s\n", qPrintable(runs.back().error));
            return 1;
        }
        print(runs.back());
        std::fflush(stdout);
    }
    const RunFigures &few = runs.front();
    const RunFigures &many = runs.back();
    const double perTerminalKiB = (many.rssMiB - few.rssMiB) * 1024.0 / double(large - small);
    std::printf("memory per added terminal: %.0f KiB  target < 1024 KiB: %s\n", perTerminalKiB,
                perTerminalKiB < 1024 ? "met" : "MISSED");
    return 0;
}
