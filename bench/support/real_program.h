#pragma once

// The host side of the end-to-end benchmarks. RealProgram starts the emulator
// binary offscreen in a fresh working folder whose "Config.ini" makes it start
// by itself as a Server on a free loopback port, and connects to it as the host.
// pump() then streams a RepeatingStream to a connected socket in fixed-size
// writes as fast as the peer takes them, optionally splicing a query into the
// stream at a fixed interval and timing each reply; DiscardingReader is the
// plain peer that gives the loopback ceiling for the same stream.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace bench
{

using Clock = std::chrono::steady_clock;

// A blocking connection to a loopback port, or -1.
int connectTo(quint16 port);
// A loopback listener on a port the system chose; -1 on failure.
int listenOnFreePort(quint16 *port, int backlog = 4);

// One run of the emulator binary, killed when this object goes; its working
// folder is a temporary one that goes with it.
class RealProgram
{
public:
    // ProtocolKind 0 VT100, 1 Zorvane; the Server role with automatic start.
    explicit RealProgram(int protocol);
    ~RealProgram();
    RealProgram(const RealProgram &) = delete;
    RealProgram &operator=(const RealProgram &) = delete;

    // Starts the program and connects to it as the host: the connected socket
    // (blocking), or -1 with the reason in error().
    int startAndConnect();
    // One more host connection to the running program, or -1.
    int connectAgain();
    long long pid() const;
    QString error() const { return m_error; }

private:
    QTemporaryDir m_folder;
    QProcess m_process;
    int m_protocol;
    int m_host = -1;
    quint16 m_port = 0;
    std::vector<int> m_more;
    QString m_error;
};

// A stream of one unit (a frame, a text line) repeated, handed out in chunks
// of a fixed size for the host's writes. It ends after a number of bytes (cut
// down to whole units) or once a time has passed since the first chunk. A
// chunk may carry a query spliced in at the first unit boundary inside it, so
// the query never lands in the middle of a frame and the write stays its size.
class RepeatingStream
{
public:
    RepeatingStream(const QByteArray &unit, int chunkSize, qint64 total);
    RepeatingStream(const QByteArray &unit, int chunkSize, std::chrono::milliseconds duration);

    // Opens every chunk, as a selection the program must not miss whatever its reads.
    void setChunkPrefix(const QByteArray &prefix) { m_prefix = prefix; }

    // The next chunk, with `query` in it when given; empty at the end.
    QByteArray next(const QByteArray &query = {});
    // Stream bytes (prefixes and queries not counted) handed out so far.
    qint64 handedOut() const { return m_sent; }

private:
    QByteArray m_unit;
    QByteArray m_pattern;
    QByteArray m_prefix;
    int m_chunkSize;
    qint64 m_total = -1;
    std::chrono::milliseconds m_duration{0};
    Clock::time_point m_deadline;
    qint64 m_sent = 0;
};

// User and system time the process has used so far, in seconds; -1 when unreadable.
double cpuSeconds(long long pid);

// How pump() asks its queries and how it knows the peer has taken everything.
struct PumpOptions {
    // Spliced into the stream every `interval`, once the previous one was answered.
    QByteArray query;
    // The last byte of every reply to the query.
    char replyEnd = '\x03';
    std::chrono::milliseconds interval{100};
    // How the end is known: the reply to a last query, or else the peer
    // closing its side after the host closed its own.
    bool endWithQuery = false;
    // The host socket's send buffer in bytes; 0 leaves it to the system, which
    // on loopback lets it grow to megabytes that wait ahead of every query.
    int sendBuffer = 0;
    // Called after each further `progressStep` bytes were written.
    std::function<void(qint64 written)> progress;
    qint64 progressStep = 10 * 1024 * 1024;
};

// What pump() saw: the stream bytes written, the time to the end, and one
// reply time per answered query.
struct PumpResult {
    bool ok = false;
    QString error;
    qint64 bytes = 0;
    double seconds = 0;
    std::vector<double> replyMs;
    int unanswered = 0;
    int lateReplies = 0;

    double mibPerSecond() const;
};

// Writes every chunk of `source` to the connected socket `fd` whole, in order,
// then waits for the end as `options` say. Time runs from the first write to
// the end. A query's reply time runs from the start of the write that carries it.
PumpResult pump(int fd, RepeatingStream &source, const PumpOptions &options);

// The reference client: inetutils `telnet` started against a loopback
// listener of the host's, writing everything it receives to /dev/null, its
// input an open pipe that never speaks. It drains the same stream the program
// takes, so the two rates read as "a client without a window" against the
// whole program.
class TelnetClient
{
public:
    TelnetClient() = default;
    ~TelnetClient();
    TelnetClient(const TelnetClient &) = delete;
    TelnetClient &operator=(const TelnetClient &) = delete;

    // Starts the client and accepts its connection: the host's socket, or -1
    // with the reason in error().
    int startAndAccept();
    QString error() const { return m_error; }

private:
    QProcess m_process;
    int m_listener = -1;
    int m_host = -1;
    QString m_error;
};

// A loopback listener whose one connection is read in 64 KiB reads and
// thrown away until the sender closes.
class DiscardingReader
{
public:
    DiscardingReader();
    ~DiscardingReader();
    DiscardingReader(const DiscardingReader &) = delete;
    DiscardingReader &operator=(const DiscardingReader &) = delete;

    // A connected socket to the reader, or -1.
    int connect();
    // Waits for the sender's close; the moment the last byte was read.
    Clock::time_point finished();
    qint64 bytesRead() const { return m_read; }

private:
    int m_listener = -1;
    std::thread m_thread;
    Clock::time_point m_end;
    qint64 m_read = 0;
};

} // namespace bench
