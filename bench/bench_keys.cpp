// Key latency: the time from a PC key event reaching the main window's capture
// field to its byte arriving at the host on loopback. A whole emulator is
// built in-process and offscreen from a "Config.ini" that starts it by itself
// as a Client of a host listening on loopback, VT100, BarcodeCharDelay 0. Each
// key press is posted to edFoco as the windowing system would deliver it, and
// the next key only after the previous byte came in.
//
// The arrival is the kernel's receive stamp on the host's socket: on loopback
// the byte lands there within the emulator's send, so this is the key event to
// the byte leaving the emulator's socket. The moment the host thread, woken by
// the byte, reads it is given as well: on a shared machine that wake-up waits
// for a CPU. The window thread's own waits for a CPU on the key's path are
// counted from the scheduler's statistics.
//
// Usage: bench_keys [keys]   (5000 by default, after 200 not counted)

#include "support/figures.h"
#include "support/in_process.h"
#include "ui/emulator_app.h"
#include "ui/key_capture_field.h"
#include "ui/main_window.h"

#include <QApplication>
#include <QFile>
#include <QKeyEvent>
#include <QString>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

constexpr int kWarmUp = 200;
constexpr double kMaxP99Ms = 2;

long long threadId()
{
    return static_cast<long long>(::syscall(SYS_gettid));
}

// Nanoseconds the thread has spent runnable but waiting for a CPU; 0 when unknown.
long long runQueueDelay(long long tid)
{
    QFile schedstat(QStringLiteral("/proc/self/task/%1/schedstat").arg(tid));
    if (!schedstat.open(QIODevice::ReadOnly))
        return 0;
    return schedstat.readAll().split(' ').value(1).toLongLong();
}

// The kernel stamps received data on CLOCK_REALTIME; the key presses use the same clock.
double realtimeMs()
{
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// The host: one accepted connection, every byte stamped on arrival.
class StampingHost
{
public:
    StampingHost()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            ::listen(m_listener, 1) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            m_port = 0;
        else
            m_port = ntohs(address.sin_port);
    }
    ~StampingHost()
    {
        ::shutdown(m_listener, SHUT_RDWR);
        if (m_peer >= 0)
            ::shutdown(m_peer, SHUT_RDWR);
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_listener);
        if (m_peer >= 0)
            ::close(m_peer);
    }

    quint16 port() const { return m_port; }

    // Accepts in a thread of its own; `arrived` runs on that thread after each read.
    void start(long long keyThread, std::function<void()> arrived)
    {
        m_thread = std::thread([this, keyThread, arrived] {
            m_peer = ::accept(m_listener, nullptr, nullptr);
            if (m_peer < 0)
                return;
            m_connected = true;
            arrived();
            const int on = 1;
            ::setsockopt(m_peer, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
            char buffer[256];
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
            for (;;) {
                iovec io{buffer, sizeof buffer};
                msghdr message{};
                message.msg_iov = &io;
                message.msg_iovlen = 1;
                message.msg_control = control;
                message.msg_controllen = sizeof control;
                const ssize_t n = ::recvmsg(m_peer, &message, 0);
                const double read = realtimeMs();
                if (n <= 0)
                    break;
                double landed = read;
                for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
                    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                        timespec stamp;
                        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                        landed = static_cast<double>(stamp.tv_sec) * 1e3 +
                                 static_cast<double>(stamp.tv_nsec) / 1e6;
                    }
                }
                const long long waited = runQueueDelay(keyThread);
                {
                    const std::lock_guard lock(m_mutex);
                    for (ssize_t i = 0; i < n; ++i) {
                        m_bytes.push_back(buffer[i]);
                        m_stamps.push_back({landed, read, waited});
                    }
                    m_count = static_cast<int>(m_bytes.size());
                }
                arrived();
            }
        });
    }

    bool connected() const { return m_connected; }
    int count() const { return m_count; }
    struct Arrival {
        double landed; // kernel receive stamp, CLOCK_REALTIME in ms
        double read;   // when the host thread had it, same clock
        // Run-queue delay of the key thread so far, in ns.
        long long waited;
    };
    std::pair<char, Arrival> at(int i)
    {
        const std::lock_guard lock(m_mutex);
        return {m_bytes[static_cast<std::size_t>(i)], m_stamps[static_cast<std::size_t>(i)]};
    }

private:
    int m_listener = -1;
    int m_peer = -1;
    quint16 m_port = 0;
    std::thread m_thread;
    std::atomic<bool> m_connected{false};
    std::atomic<int> m_count{0};
    std::mutex m_mutex;
    std::vector<char> m_bytes;
    std::vector<Arrival> m_stamps;
};

// A PC key of the cycle the benchmark types, and the byte VT100 sends for it.
struct PcKey {
    Qt::Key key;
    char text;
    char sent; // what VT100 sends for it
};

std::vector<PcKey> keyCycle()
{
    std::vector<PcKey> keys;
    for (char c = 'A'; c <= 'Z'; ++c)
        keys.push_back({Qt::Key(Qt::Key_A + (c - 'A')), static_cast<char>(c - 'A' + 'a'),
                        static_cast<char>(c - 'A' + 'a')});
    for (char c = '0'; c <= '9'; ++c)
        keys.push_back({Qt::Key(Qt::Key_0 + (c - '0')), c, c});
    keys.push_back({Qt::Key_Space, ' ', ' '});
    keys.push_back({Qt::Key_Return, '\r', '\r'});
    keys.push_back({Qt::Key_Backspace, '\b', '\b'});
    keys.push_back({Qt::Key_Comma, ',', ','});
    return keys;
}

// Runs the event loop until `done` holds or `timeout` passes.
bool spinUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    bench::quietOffscreen();
    QApplication application(argc, argv);
    const int keys = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5000;
    std::printf("bench_keys on %s\n", qPrintable(figures::machine()));

    StampingHost host;
    if (host.port() == 0) {
        std::printf("cannot listen on loopback\n");
        return 1;
    }
    // Wakes the event loop of the key thread whenever the host has read something.
    QObject waker;
    const long long keyThread = threadId();
    host.start(keyThread, [&waker] { QCoreApplication::postEvent(&waker, new QEvent(QEvent::User)); });

    bench::InProcessEmulator inProcess("[Config]\r\nPorta=" + QByteArray::number(host.port()) +
                                       "\r\nEndereco=127.0.0.1\r\nProtocolo=0\r\nConexao=1\r\nInicializacao="
                                       "1\r\n[CodigoBarras]\r\nDelai=0\r\n");
    if (!inProcess.app()) {
        std::printf("cannot write Config.ini\n");
        return 1;
    }
    EmulatorApp &emulator = *inProcess.app();
    const bench::QuietPrompts &prompts = inProcess.prompts;
    TForm1 *window = emulator.form1();
    if (!window || !window->isVisible() || emulator.state().barcodeCharDelay != 0) {
        std::printf("the emulator did not start by itself with BarcodeCharDelay 0\n");
        return 1;
    }
    if (!spinUntil([&] { return host.connected() && emulator.display().view2() == "Conectado"; },
                   std::chrono::seconds(10))) {
        std::printf("the emulator did not connect to the host\n");
        return 1;
    }

    const std::vector<PcKey> cycle = keyCycle();
    std::vector<double> landed;
    std::vector<double> read;
    int wrong = 0;
    int slow = 0;
    int slowMostlyWaiting = 0;
    for (int i = 0; i < kWarmUp + keys; ++i) {
        const PcKey &key = cycle[static_cast<std::size_t>(i) % cycle.size()];
        const long long waitedBefore = runQueueDelay(keyThread);
        const double pressed = realtimeMs();
        QCoreApplication::postEvent(window->edFoco, new QKeyEvent(QEvent::KeyPress, key.key, Qt::NoModifier,
                                                                  QString(QChar(key.text))));
        if (!spinUntil([&] { return host.count() > i; }, std::chrono::seconds(5))) {
            std::printf("key %d never reached the host\n", i);
            return 1;
        }
        QCoreApplication::postEvent(window->edFoco, new QKeyEvent(QEvent::KeyRelease, key.key, Qt::NoModifier,
                                                                  QString(QChar(key.text))));
        const auto [byte, arrival] = host.at(i);
        if (byte != key.sent)
            ++wrong;
        if (i < kWarmUp)
            continue;
        const double latency = arrival.landed - pressed;
        landed.push_back(latency);
        read.push_back(arrival.read - pressed);
        if (latency >= kMaxP99Ms) {
            ++slow;
            if (static_cast<double>(arrival.waited - waitedBefore) / 1e6 >= latency / 2)
                ++slowMostlyWaiting;
        }
    }

    const double p99 = figures::percentile(landed, 99);
    std::printf("key event to byte at the host, VT100, Client role, BarcodeCharDelay 0, %d keys:\n", keys);
    std::printf("  landed in the host's socket: median %.3f ms, p90 %.3f ms, p99 %.3f ms, max %.3f ms"
                " (target p99 < %.0f ms: %s)\n",
                figures::percentile(landed, 50), figures::percentile(landed, 90), p99,
                figures::percentile(landed, 100), kMaxP99Ms, p99 < kMaxP99Ms ? "met" : "MISSED");
    std::printf("  read by the host thread:     median %.3f ms, p90 %.3f ms, p99 %.3f ms, max %.3f ms\n",
                figures::percentile(read, 50), figures::percentile(read, 90), figures::percentile(read, 99),
                figures::percentile(read, 100));
    std::printf(
        "  %d keys landed %.0f ms or more after the event; in %d of them the window thread spent at least"
        " half of it waiting for a CPU (load average %s)\n",
        slow, kMaxP99Ms, slowMostlyWaiting, qPrintable(figures::loadAverage()));
    if (wrong > 0 || !prompts.messages.isEmpty()) {
        std::printf("  %d keys reached the host as the wrong byte; %lld messages shown\n", wrong,
                    static_cast<long long>(prompts.messages.size()));
        return 1;
    }
    return 0;
}
