#pragma once

#include <QAbstractEventDispatcher>

#include <atomic>
#include <chrono>
#include <map>
#include <unordered_map>

// The event loop of a headless run on Linux's epoll: with thousands of
// terminals the program holds thousands of sockets, and a loop that hands the
// system the whole list on every turn (poll) spends its time on the list, not
// on the few sockets that are ready. Here the sockets are registered once and
// each turn costs what is ready. It does what Qt's own loop does for one
// thread: posted events, socket notifiers (level-triggered, as Qt's),
// timers (to the millisecond; a timer firing is not fired again by a nested
// loop inside its handler), wake-ups from other threads and interrupt().
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
    struct Watched {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
        QSocketNotifier *exception = nullptr;
        bool added = false;
    };
    struct Timer {
        qint64 interval = 0;
        Qt::TimerType type = Qt::CoarseTimer;
        QObject *object = nullptr;
        Clock::time_point deadline;
        bool firing = false;
    };

    void update(int fd, Watched &watched);
    void schedule(int timerId, Timer &timer, Clock::time_point from);
    void unqueue(int timerId, Clock::time_point deadline);
    int activateTimers();
    // Milliseconds to the next timer, -1 when there is none.
    int nextTimerMs() const;

    int m_epoll = -1;
    int m_wake = -1;
    std::atomic<bool> m_interrupted{false};
    std::unordered_map<int, Watched> m_sockets;
    std::unordered_map<int, Timer> m_timers;
    std::multimap<Clock::time_point, int> m_queue;
};
