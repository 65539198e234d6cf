#include "fleet/epoll_dispatcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

EpollEventDispatcher::EpollEventDispatcher(QObject *parent) : QAbstractEventDispatcher(parent)
{
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = m_wake;
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &event);
}

EpollEventDispatcher::~EpollEventDispatcher()
{
    ::close(m_wake);
    ::close(m_epoll);
}

void EpollEventDispatcher::update(int fd, Watched &watched)
{
    epoll_event event{};
    event.data.fd = fd;
    event.events = (watched.read ? EPOLLIN : 0u) | (watched.write ? EPOLLOUT : 0u) |
                   (watched.exception ? EPOLLPRI : 0u);
    if (event.events == 0) {
        if (watched.added)
            ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, &event);
        m_sockets.erase(fd);
        return;
    }
    if (::epoll_ctl(m_epoll, watched.added ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) == 0)
        watched.added = true;
    else if (errno == ENOENT && ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) == 0)
        watched.added = true; // the descriptor was closed and its number given out again
    else if (errno == EEXIST && ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &event) == 0)
        watched.added = true;
}

void EpollEventDispatcher::registerSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    Watched &watched = m_sockets[fd];
    switch (notifier->type()) {
    case QSocketNotifier::Read: watched.read = notifier; break;
    case QSocketNotifier::Write: watched.write = notifier; break;
    case QSocketNotifier::Exception: watched.exception = notifier; break;
    }
    update(fd, watched);
}

void EpollEventDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier)
{
    const auto it = m_sockets.find(int(notifier->socket()));
    if (it == m_sockets.end())
        return;
    Watched &watched = it->second;
    for (QSocketNotifier **slot : {&watched.read, &watched.write, &watched.exception})
        if (*slot == notifier)
            *slot = nullptr;
    update(it->first, watched);
}

void EpollEventDispatcher::schedule(int timerId, Timer &timer, Clock::time_point from)
{
    timer.deadline = from + std::chrono::milliseconds(timer.interval);
    m_queue.emplace(timer.deadline, timerId);
}

void EpollEventDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject *object)
{
    if (const auto it = m_timers.find(timerId); it != m_timers.end())
        unqueue(timerId, it->second.deadline);
    Timer &timer = m_timers[timerId];
    timer = Timer{interval, timerType, object, {}, false};
    schedule(timerId, timer, Clock::now());
}

void EpollEventDispatcher::unqueue(int timerId, Clock::time_point deadline)
{
    auto [from, to] = m_queue.equal_range(deadline);
    for (; from != to; ++from) {
        if (from->second == timerId) {
            m_queue.erase(from);
            return;
        }
    }
}

bool EpollEventDispatcher::unregisterTimer(int timerId)
{
    const auto it = m_timers.find(timerId);
    if (it == m_timers.end())
        return false;
    unqueue(timerId, it->second.deadline);
    m_timers.erase(it);
    return true;
}

bool EpollEventDispatcher::unregisterTimers(QObject *object)
{
    bool any = false;
    for (auto it = m_timers.begin(); it != m_timers.end();) {
        if (it->second.object != object) {
            ++it;
            continue;
        }
        unqueue(it->first, it->second.deadline);
        it = m_timers.erase(it);
        any = true;
    }
    return any;
}

QList<QAbstractEventDispatcher::TimerInfo> EpollEventDispatcher::registeredTimers(QObject *object) const
{
    QList<TimerInfo> timers;
    for (const auto &[id, timer] : m_timers)
        if (timer.object == object)
            timers.append(TimerInfo(id, int(timer.interval), timer.type));
    return timers;
}

int EpollEventDispatcher::remainingTime(int timerId)
{
    const auto it = m_timers.find(timerId);
    if (it == m_timers.end())
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(it->second.deadline - Clock::now()).count();
    return int(std::max<qint64>(left, 0));
}

int EpollEventDispatcher::nextTimerMs() const
{
    // Every timer is in the queue once, at its deadline; only one firing (a nested loop) is passed over.
    for (const auto &[deadline, id] : m_queue) {
        const auto it = m_timers.find(id);
        if (it == m_timers.end() || it->second.firing)
            continue;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return int(std::clamp<qint64>(left, 0, 24LL * 3600 * 1000));
    }
    return -1;
}

int EpollEventDispatcher::activateTimers()
{
    // Only the timers due when the pass begins: one that comes due again
    // meanwhile (an interval of 0) waits for the next pass.
    const Clock::time_point now = Clock::now();
    std::vector<int> due;
    std::vector<std::pair<Clock::time_point, int>> held;
    while (!m_queue.empty() && m_queue.begin()->first <= now) {
        const auto [deadline, id] = *m_queue.begin();
        m_queue.erase(m_queue.begin());
        const auto it = m_timers.find(id);
        if (it == m_timers.end() || it->second.deadline != deadline)
            continue; // unregistered or rescheduled since
        if (it->second.firing)
            held.emplace_back(deadline, id); // inside its own handler (a nested loop): once that returns
        else
            due.push_back(id);
    }
    m_queue.insert(held.begin(), held.end());
    int fired = 0;
    for (const int id : due) {
        auto it = m_timers.find(id);
        if (it == m_timers.end())
            continue;
        Timer &timer = it->second;
        // The next deadline from this one, unless the program fell behind: then from now.
        const Clock::time_point next = timer.deadline + std::chrono::milliseconds(timer.interval);
        schedule(id, timer, next < now ? now : timer.deadline);
        timer.firing = true;
        QObject *object = timer.object;
        QTimerEvent event(id);
        QCoreApplication::sendEvent(object, &event);
        ++fired;
        it = m_timers.find(id);
        if (it != m_timers.end())
            it->second.firing = false;
    }
    return fired;
}

bool EpollEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    m_interrupted.store(false);
    emit awake();
    QCoreApplication::sendPostedEvents();

    const bool wait = flags.testFlag(QEventLoop::WaitForMoreEvents) && !m_interrupted.load();
    if (wait)
        emit aboutToBlock();
    if (m_interrupted.load())
        return false;
    int timeoutMs = wait ? nextTimerMs() : 0;

    epoll_event events[1024];
    int ready = 0;
    do
        ready = ::epoll_wait(m_epoll, events, 1024, timeoutMs);
    while (ready < 0 && errno == EINTR);

    int handled = 0;
    const bool notifiers = !flags.testFlag(QEventLoop::ExcludeSocketNotifiers);
    for (int i = 0; i < ready; ++i) {
        const int fd = events[i].data.fd;
        if (fd == m_wake) {
            eventfd_t value = 0;
            ::eventfd_read(m_wake, &value);
            continue;
        }
        if (!notifiers)
            continue;
        const std::uint32_t what = events[i].events;
        const std::pair<std::uint32_t, QSocketNotifier *Watched::*> kinds[] = {
            {EPOLLIN | EPOLLHUP | EPOLLERR, &Watched::read},
            {EPOLLOUT | EPOLLHUP | EPOLLERR, &Watched::write},
            {EPOLLPRI, &Watched::exception}};
        for (const auto &[mask, slot] : kinds) {
            if (!(what & mask))
                continue;
            // Looked up each time: the one before may have removed or replaced it.
            const auto it = m_sockets.find(fd);
            if (it == m_sockets.end() || !(it->second.*slot))
                continue;
            QEvent event(QEvent::SockAct);
            QCoreApplication::sendEvent(it->second.*slot, &event);
            ++handled;
        }
    }
    handled += activateTimers();
    return handled > 0;
}

void EpollEventDispatcher::wakeUp()
{
    ::eventfd_write(m_wake, 1);
}

void EpollEventDispatcher::interrupt()
{
    m_interrupted.store(true);
    wakeUp();
}
