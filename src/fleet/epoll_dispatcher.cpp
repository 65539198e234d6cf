#include "fleet/epoll_dispatcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

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
    // A notifier enabled now was not there when the descriptor was found ready.
    switch (notifier->type()) {
    case QSocketNotifier::Read:
        watched.read = notifier;
        watched.pending &= ~Read;
        break;
    case QSocketNotifier::Write:
        watched.write = notifier;
        watched.pending &= ~Write;
        break;
    case QSocketNotifier::Exception:
        watched.exception = notifier;
        watched.pending &= ~Exception;
        break;
    }
    update(fd, watched);
}

void EpollEventDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier)
{
    const auto it = m_sockets.find(int(notifier->socket()));
    if (it == m_sockets.end())
        return;
    Watched &watched = it->second;
    const std::pair<QSocketNotifier **, Kind> kinds[] = {
        {&watched.read, Read}, {&watched.write, Write}, {&watched.exception, Exception}};
    for (const auto &[held, kind] : kinds) {
        if (*held == notifier) {
            *held = nullptr;
            watched.pending &= ~kind; // found ready, but it is not to be activated any more
        }
    }
    update(it->first, watched);
}

void EpollEventDispatcher::markPending(int fd, std::uint32_t events)
{
    const auto it = m_sockets.find(fd);
    if (it == m_sockets.end())
        return;
    Watched &watched = it->second;
    // What readies each kind, as for Qt's own loop.
    const struct {
        std::uint32_t mask;
        Kind kind;
        QSocketNotifier *Watched::*held;
    } kinds[] = {{EPOLLIN | EPOLLHUP | EPOLLERR, Read, &Watched::read},
                 {EPOLLOUT | EPOLLHUP | EPOLLERR, Write, &Watched::write},
                 {EPOLLPRI | EPOLLHUP | EPOLLERR, Exception, &Watched::exception}};
    for (const auto &[mask, kind, held] : kinds) {
        if ((events & mask) && watched.*held && !(watched.pending & kind)) {
            watched.pending |= kind;
            m_pending.emplace_back(fd, kind);
        }
    }
}

int EpollEventDispatcher::activateSocketNotifiers()
{
    // Taken one at a time from the member list: a nested loop inside a handler goes on with the rest.
    int activated = 0;
    QEvent event(QEvent::SockAct);
    while (!m_pending.empty()) {
        const auto [fd, kind] = m_pending.front();
        m_pending.pop_front();
        const auto it = m_sockets.find(fd);
        if (it == m_sockets.end() || !(it->second.pending & kind))
            continue; // disabled or deleted by a handler before its turn
        Watched &watched = it->second;
        watched.pending &= ~kind;
        QSocketNotifier *notifier = kind == Read ? watched.read : kind == Write ? watched.write : watched.exception;
        QCoreApplication::sendEvent(notifier, &event);
        ++activated;
    }
    return activated;
}

void EpollEventDispatcher::schedule(int timerId, Timer &timer, Clock::time_point from)
{
    timer.place = {from + std::chrono::milliseconds(timer.interval), ++m_scheduled};
    m_queue.emplace(timer.place, timerId);
}

void EpollEventDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject *object)
{
    if (const auto it = m_timers.find(timerId); it != m_timers.end())
        m_queue.erase(it->second.place);
    Timer &timer = m_timers[timerId];
    timer = Timer{interval, timerType, object, {}, false};
    schedule(timerId, timer, Clock::now());
}

bool EpollEventDispatcher::unregisterTimer(int timerId)
{
    const auto it = m_timers.find(timerId);
    if (it == m_timers.end())
        return false;
    m_queue.erase(it->second.place);
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
        m_queue.erase(it->second.place);
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
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(it->second.place.first - Clock::now()).count();
    return int(std::max<qint64>(left, 0));
}

int EpollEventDispatcher::nextTimerMs() const
{
    // Every timer is in the queue once, at its deadline; only one firing (a nested loop) is passed over.
    for (const auto &[place, id] : m_queue) {
        const auto it = m_timers.find(id);
        if (it == m_timers.end() || it->second.firing)
            continue;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(place.first - Clock::now()).count();
        return int(std::clamp<qint64>(left, 0, 24LL * 3600 * 1000));
    }
    return -1;
}

int EpollEventDispatcher::activateTimers()
{
    // The queue's first timer, as long as it is due and was in the queue when
    // the turn began: a handler that restarts a timer, or stops one and starts
    // another that takes its id, moves it to its new deadline, so it waits for
    // that; one that comes due again meanwhile (an interval of 0, or a loop
    // that fell behind) waits for the next turn. Each costs a look-up, not a
    // walk through the timers.
    const Clock::time_point now = Clock::now();
    const std::uint64_t last = m_scheduled;
    int activated = 0;
    while (!m_queue.empty()) {
        const auto first = m_queue.begin();
        if (first->first.first > now || first->first.second > last)
            break;
        const int id = first->second;
        m_queue.erase(first);
        auto it = m_timers.find(id);
        if (it == m_timers.end())
            continue;
        Timer &timer = it->second;
        // The next deadline from this one, unless the loop fell behind: then from now.
        const Clock::time_point deadline = timer.place.first;
        const Clock::time_point next = deadline + std::chrono::milliseconds(timer.interval);
        schedule(id, timer, next < now ? now : deadline);
        if (timer.firing)
            continue; // inside its own handler (a nested loop): this turn of it passes
        // As Qt's own loop counts it: a zero timer is no sign that anything happened.
        if (timer.interval > 0)
            ++activated;
        timer.firing = true;
        QTimerEvent event(id);
        QCoreApplication::sendEvent(timer.object, &event);
        it = m_timers.find(id);
        if (it != m_timers.end())
            it->second.firing = false;
    }
    return activated;
}

int EpollEventDispatcher::waitForWakeUp(int timeoutMs)
{
    pollfd wake{m_wake, POLLIN, 0};
    int ready = 0;
    do
        ready = ::poll(&wake, 1, timeoutMs);
    while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        return 0;
    eventfd_t value = 0;
    ::eventfd_read(m_wake, &value);
    return 1;
}

bool EpollEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    m_interrupted.store(false);
    emit awake();
    QCoreApplication::sendPostedEvents();

    const bool timers = !flags.testFlag(QEventLoop::X11ExcludeTimers);
    const bool notifiers = !flags.testFlag(QEventLoop::ExcludeSocketNotifiers);
    const bool wait = flags.testFlag(QEventLoop::WaitForMoreEvents) && !m_interrupted.load();
    if (wait)
        emit aboutToBlock();
    if (m_interrupted.load())
        return false;
    const int timeoutMs = !wait ? 0 : timers ? nextTimerMs() : -1;

    // A wake-up counts as something handled, as in Qt's own loop.
    int handled = 0;
    if (notifiers) {
        epoll_event events[1024];
        int ready = 0;
        do
            ready = ::epoll_wait(m_epoll, events, 1024, timeoutMs);
        while (ready < 0 && errno == EINTR);
        // First what was ready, then the notifiers one by one: a handler that
        // disables or deletes another keeps it from being activated.
        for (int i = 0; i < ready; ++i) {
            const int fd = events[i].data.fd;
            if (fd != m_wake) {
                markPending(fd, events[i].events);
                continue;
            }
            eventfd_t value = 0;
            ::eventfd_read(m_wake, &value);
            ++handled;
        }
        handled += activateSocketNotifiers();
    } else {
        handled += waitForWakeUp(timeoutMs);
    }
    if (timers)
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
