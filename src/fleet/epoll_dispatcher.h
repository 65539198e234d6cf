#pragma once

#include <QAbstractEventDispatcher>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <unordered_map>
#include <utility>

// The event loop of a headless run on Linux's epoll: with thousands of
// terminals the program holds thousands of sockets, and a loop that hands the
// system the whole list on every turn (poll) spends its time on the list, not
// on the few sockets that are ready. Here the sockets are registered once and
// each turn costs what is ready. It keeps the promises of Qt's own loop for
// one thread: posted events, socket notifiers (level-triggered, as Qt's; one
// disabled or deleted by a handler is not activated by what was ready before),
// timers (to the millisecond; a timer fires only once its own deadline has
// passed, whatever a handler did to its id in the same turn; a timer firing is
// not fired again by a nested loop inside its handler), wake-ups from other
// threads and interrupt().
class EpollEventDispatcher : public QAbstractEventDispatcher {
    Q_OBJECT
public:
    explicit EpollEventDispatcher(QObject *parent = nullptr);
    ~EpollEventDispatcher() override;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;
    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject *object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    int remainingTime(int timerId) override;
    void wakeUp() override;
    void interrupt() override;

private:
    using Clock = std::chrono::steady_clock;
    enum Kind : std::uint8_t { Read = 1, Write = 2, Exception = 4 };
    struct Watched {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
        QSocketNotifier *exception = nullptr;
        std::uint8_t pending = 0; // kinds found ready and not activated yet
        bool added = false;
    };
    // A timer's place in the queue: its deadline, then the order it was put there.
    using Place = std::pair<Clock::time_point, std::uint64_t>;
    struct Timer {
        qint64 interval = 0;
        Qt::TimerType type = Qt::CoarseTimer;
        QObject *object = nullptr;
        Place place;
        bool firing = false;
    };

    void update(int fd, Watched &watched);
    void markPending(int fd, std::uint32_t events);
    int activateSocketNotifiers();
    void schedule(int timerId, Timer &timer, Clock::time_point from);
    int activateTimers();
    // Milliseconds to the next timer, -1 when there is none.
    int nextTimerMs() const;
    // A turn that leaves the sockets alone: it waits for a wake-up or the next timer only.
    int waitForWakeUp(int timeoutMs);

    int m_epoll = -1;
    int m_wake = -1;
    std::atomic<bool> m_interrupted{false};
    std::unordered_map<int, Watched> m_sockets;
    // Notifiers found ready, by descriptor and kind, in the order they are to be activated.
    std::deque<std::pair<int, Kind>> m_pending;
    std::unordered_map<int, Timer> m_timers;
    std::map<Place, int> m_queue;
    std::uint64_t m_scheduled = 0;
};
