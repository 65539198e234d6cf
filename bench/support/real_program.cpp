#include "support/real_program.h"

#include <QFile>
#include <QProcessEnvironment>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace bench
{

namespace
{

sockaddr_in loopback(quint16 port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

} // namespace

int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    const sockaddr_in address = loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int listenOnFreePort(quint16 *port, int backlog)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

namespace
{

double millisecondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

} // namespace

// ---- RealProgram ----

RealProgram::RealProgram(int protocol) : m_protocol(protocol)
{
}

RealProgram::~RealProgram()
{
    if (m_host >= 0)
        ::close(m_host);
    for (const int fd : m_more)
        ::close(fd);
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

int RealProgram::connectAgain()
{
    const int fd = connectTo(m_port);
    if (fd >= 0)
        m_more.push_back(fd);
    return fd;
}

long long RealProgram::pid() const
{
    return m_process.processId();
}

int RealProgram::startAndConnect()
{
    quint16 port = 0;
    const int probe = listenOnFreePort(&port);
    if (probe < 0) {
        m_error = QStringLiteral("no free loopback port");
        return -1;
    }
    ::close(probe);
    m_port = port;

    QFile config(m_folder.filePath(QStringLiteral("Config.ini")));
    const QByteArray text = "[Config]\r\nPorta=" + QByteArray::number(port) +
                            "\r\nEndereco=127.0.0.1\r\nProtocolo=" + QByteArray::number(m_protocol) +
                            "\r\nConexao=0\r\nInicializacao=1\r\n";
    if (!config.open(QIODevice::WriteOnly) || config.write(text) != text.size()) {
        m_error = QStringLiteral("cannot write Config.ini");
        return -1;
    }
    config.close();

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    m_process.setProcessEnvironment(environment);
    m_process.setWorkingDirectory(m_folder.path());
    // The offscreen platform's notes on what it cannot do would only clutter the figures.
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(QProcess::nullDevice());
    // BENCH_PROGRAM names another build of the program, to compare two builds on the same load.
    const QString binary = qEnvironmentVariableIsEmpty("BENCH_PROGRAM")
                               ? QStringLiteral(EMULATOR_BINARY)
                               : qEnvironmentVariable("BENCH_PROGRAM");
    // BENCH_PROGRAM_ARGS adds options, e.g. "--trace trace.txt" to measure the program tracing
    // (a relative file lands in the program's own temporary folder).
    const QStringList arguments =
        qEnvironmentVariable("BENCH_PROGRAM_ARGS").split(QLatin1Char(' '), Qt::SkipEmptyParts);
    m_process.start(binary, arguments);
    if (!m_process.waitForStarted(5000)) {
        m_error = QStringLiteral("cannot start %1").arg(binary);
        return -1;
    }
    // The splash waits half a second before the automatic start opens the Server.
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (Clock::now() < deadline) {
        m_host = connectTo(port);
        if (m_host >= 0)
            return m_host;
        if (m_process.state() == QProcess::NotRunning) {
            m_error = QStringLiteral("the program ended during start-up");
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    m_error = QStringLiteral("the program did not listen on port %1").arg(port);
    return -1;
}

// ---- TelnetClient ----

TelnetClient::~TelnetClient()
{
    if (m_host >= 0)
        ::close(m_host);
    if (m_listener >= 0)
        ::close(m_listener);
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

int TelnetClient::startAndAccept()
{
    quint16 port = 0;
    m_listener = listenOnFreePort(&port);
    if (m_listener < 0) {
        m_error = QStringLiteral("no free loopback port");
        return -1;
    }
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(QProcess::nullDevice());
    m_process.start(QStringLiteral("telnet"), {QStringLiteral("127.0.0.1"), QString::number(port)});
    if (!m_process.waitForStarted(5000)) {
        m_error = QStringLiteral("cannot start telnet (Debian's inetutils-telnet)");
        return -1;
    }
    pollfd waiting{m_listener, POLLIN, 0};
    if (::poll(&waiting, 1, 10000) != 1) {
        m_error = QStringLiteral("telnet did not connect");
        return -1;
    }
    m_host = ::accept(m_listener, nullptr, nullptr);
    if (m_host < 0)
        m_error = QStringLiteral("cannot accept telnet's connection");
    return m_host;
}

// ---- Sources ----

RepeatingStream::RepeatingStream(const QByteArray &unit, int chunkSize, qint64 total)
    : m_unit(unit), m_chunkSize(chunkSize), m_total(total - total % unit.size())
{
    while (m_pattern.size() < 2 * chunkSize + unit.size())
        m_pattern += unit;
}

RepeatingStream::RepeatingStream(const QByteArray &unit, int chunkSize, std::chrono::milliseconds duration)
    : RepeatingStream(unit, chunkSize, qint64(0))
{
    m_total = -1;
    m_duration = duration;
}

QByteArray RepeatingStream::next(const QByteArray &query)
{
    if (m_total >= 0 && m_sent >= m_total)
        return {};
    if (m_total < 0) {
        const Clock::time_point now = Clock::now();
        if (m_sent == 0)
            m_deadline = now + m_duration;
        else if (now >= m_deadline)
            return {};
    }
    qint64 body = m_chunkSize - m_prefix.size() - query.size();
    if (m_total >= 0)
        body = std::min(body, m_total - m_sent);
    const auto phase = static_cast<qsizetype>(m_sent % m_unit.size());
    const QByteArray data = m_pattern.mid(phase, static_cast<qsizetype>(body));
    m_sent += body;
    if (query.isEmpty())
        return m_prefix + data;
    const qsizetype boundary = std::min<qsizetype>((m_unit.size() - phase) % m_unit.size(), data.size());
    return m_prefix + data.left(boundary) + query + data.mid(boundary);
}

double cpuSeconds(long long pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // The command name may hold spaces; the fields after it are plain numbers.
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    return (fields[11].toDouble() + fields[12].toDouble()) / ticks;
}

// ---- pump ----

double PumpResult::mibPerSecond() const
{
    return seconds > 0 ? static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds : 0;
}

PumpResult pump(int fd, RepeatingStream &source, const PumpOptions &options)
{
    PumpResult result;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (options.sendBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &options.sendBuffer, sizeof options.sendBuffer);

    const bool queries = !options.query.isEmpty();
    // A query that gets no reply within this time was lost (a read ended inside it).
    const auto lostAfter = std::chrono::seconds(3);
    const auto giveUp = Clock::now() + std::chrono::minutes(10);

    QByteArray unit;
    qsizetype offset = 0;
    bool sourceDone = false;
    bool finalAsked = false;
    bool writeClosed = false;
    // When the query waiting for its reply was sent; none is waiting while it is max().
    Clock::time_point asked = Clock::time_point::max();
    qint64 nextProgress = options.progressStep;

    const Clock::time_point start = Clock::now();
    Clock::time_point nextQuery = start + options.interval;
    char buffer[64 * 1024];

    for (;;) {
        Clock::time_point now = Clock::now();
        if (now > giveUp) {
            result.error = QStringLiteral("no end after ten minutes");
            return result;
        }
        if (asked != Clock::time_point::max() && now - asked > lostAfter) {
            ++result.unanswered;
            asked = Clock::time_point::max();
            finalAsked = false;
        }

        if (offset == unit.size()) {
            unit.clear();
            offset = 0;
            if (result.bytes < source.handedOut()) {
                result.bytes = source.handedOut();
                if (options.progress && result.bytes >= nextProgress) {
                    options.progress(result.bytes);
                    nextProgress += options.progressStep;
                }
            }
            if (!sourceDone) {
                const bool ask = queries && asked == Clock::time_point::max() && now >= nextQuery;
                unit = source.next(ask ? options.query : QByteArray());
                sourceDone = unit.isEmpty();
                if (ask && !sourceDone) {
                    asked = now;
                    while (nextQuery <= now)
                        nextQuery += options.interval;
                }
            }
            if (sourceDone && unit.isEmpty()) {
                if (options.endWithQuery) {
                    if (!finalAsked && asked == Clock::time_point::max()) {
                        unit = options.query;
                        asked = now;
                        finalAsked = true;
                    }
                } else if (!writeClosed) {
                    ::shutdown(fd, SHUT_WR);
                    writeClosed = true;
                }
            }
        }

        int timeout = 50;
        if (queries && asked == Clock::time_point::max() && !sourceDone)
            timeout = static_cast<int>(std::clamp<long long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(nextQuery - now).count(), 0, 50));
        pollfd watch{fd, static_cast<short>(POLLIN | (offset < unit.size() ? POLLOUT : 0)), 0};
        if (::poll(&watch, 1, timeout) < 0 && errno != EINTR) {
            result.error = QString::fromLocal8Bit(std::strerror(errno));
            return result;
        }

        if (watch.revents & POLLOUT) {
            const ssize_t n = ::send(fd, unit.constData() + offset, static_cast<size_t>(unit.size() - offset),
                                     MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                result.error = QStringLiteral("send: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
                return result;
            }
            if (n > 0)
                offset += n;
        }
        if (watch.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            now = Clock::now();
            if (n == 0) {
                if (writeClosed) {
                    result.seconds = std::chrono::duration<double>(now - start).count();
                    result.ok = true;
                } else {
                    result.error = QStringLiteral("the program closed the connection");
                }
                return result;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                result.error = QStringLiteral("recv: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
                return result;
            }
            const auto replies = n > 0 ? std::count(buffer, buffer + n, options.replyEnd) : 0;
            for (long i = 0; i < replies && queries; ++i) {
                if (asked == Clock::time_point::max()) {
                    ++result.lateReplies; // to a query already counted as unanswered
                    continue;
                }
                if (finalAsked) {
                    result.seconds = std::chrono::duration<double>(now - start).count();
                    result.ok = true;
                    return result;
                }
                result.replyMs.push_back(millisecondsBetween(asked, now));
                asked = Clock::time_point::max();
            }
        }
    }
}

// ---- DiscardingReader ----

DiscardingReader::DiscardingReader()
{
    quint16 port = 0;
    m_listener = listenOnFreePort(&port);
}

DiscardingReader::~DiscardingReader()
{
    if (m_thread.joinable()) {
        ::shutdown(m_listener, SHUT_RDWR);
        m_thread.join();
    }
    if (m_listener >= 0)
        ::close(m_listener);
}

int DiscardingReader::connect()
{
    if (m_listener < 0)
        return -1;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length);
    m_thread = std::thread([this] {
        const int peer = ::accept(m_listener, nullptr, nullptr);
        if (peer < 0)
            return;
        static char sink[64 * 1024];
        for (;;) {
            const ssize_t n = ::recv(peer, sink, sizeof sink, 0);
            if (n <= 0)
                break;
            m_read += n;
        }
        m_end = Clock::now();
        ::close(peer);
    });
    return connectTo(ntohs(address.sin_port));
}

Clock::time_point DiscardingReader::finished()
{
    if (m_thread.joinable())
        m_thread.join();
    return m_end;
}

} // namespace bench
