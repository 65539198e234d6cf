#include "fleet/epoll_dispatcher.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QScopedValueRollback>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <thread>
#include <vector>

namespace {

// A pipe to watch: readable while it holds a byte. (On a case's thread: what
// goes wrong shows in the case's outcome.)
struct Pipe {
    int fds[2] = {-1, -1};
    Pipe()
    {
        if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
            qFatal("no pipe: %s", std::strerror(errno));
    }
    ~Pipe()
    {
        for (const int fd : fds)
            if (fd >= 0)
                ::close(fd);
    }
    Pipe(const Pipe &) = delete;
    Pipe &operator=(const Pipe &) = delete;
    int readEnd() const { return fds[0]; }
    void put() const { [[maybe_unused]] const auto written = ::write(fds[1], "x", 1); }
    void take() const
    {
        char bytes[16];
        while (::read(fds[0], bytes, sizeof bytes) > 0) {
        }
    }
};

// A timer's handler on an object of its own, for timers started with QObject::startTimer.
class Ticker : public QObject {
public:
    std::function<void()> onTick;

protected:
    void timerEvent(QTimerEvent *) override { onTick(); }
};

constexpr int kInterval = 200;

// How long after `since` a timer with kInterval fired: its interval, with room
// for a coarse clock, or visibly early.
QString afterItsInterval(const QElapsedTimer &clock, qint64 since)
{
    const qint64 waited = clock.elapsed() - since;
    return waited >= kInterval * 3 / 4 ? QStringLiteral("after its interval")
                                      : QStringLiteral("early, after %1 ms").arg(waited);
}

// Runs the loop; a case that goes wrong ends it after a while instead of hanging.
void execGuarded(QEventLoop &loop, QStringList &log)
{
    QTimer::singleShot(5000, &loop, [&] {
        log << "gave up waiting";
        loop.quit();
    });
    loop.exec();
}

QTimer *preciseSingleShot(QTimer &timer)
{
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    return &timer;
}

// Two timers due together: the loop's first turn finds both overdue.
void startBothDue(QTimer &first, QTimer &second)
{
    preciseSingleShot(first)->start(5);
    preciseSingleShot(second)->start(5);
    QThread::msleep(30);
}

QStringList timerRestartedByAnotherHandler()
{
    QStringList log;
    QEventLoop loop;
    QElapsedTimer clock;
    QTimer first;
    QTimer second;
    qint64 restartedAt = 0;
    QObject::connect(&first, &QTimer::timeout, [&] {
        const int id = second.timerId();
        restartedAt = clock.elapsed();
        second.start(kInterval);
        log << (second.timerId() == id ? "first restarts second, which keeps its id" : "first restarts second");
    });
    QObject::connect(&second, &QTimer::timeout, [&] {
        log << "second fires " + afterItsInterval(clock, restartedAt);
        loop.quit();
    });
    clock.start();
    startBothDue(first, second);
    execGuarded(loop, log);
    return log;
}

QStringList killedTimersIdTakenByANewOne()
{
    QStringList log;
    QEventLoop loop;
    QElapsedTimer clock;
    QTimer first;
    QTimer second;
    QTimer third;
    preciseSingleShot(third);
    qint64 startedAt = 0;
    QObject::connect(&first, &QTimer::timeout, [&] {
        const int id = second.timerId();
        second.stop();
        startedAt = clock.elapsed();
        third.start(kInterval);
        log << (third.timerId() == id ? "first stops second; third takes its id" : "first stops second");
    });
    QObject::connect(&second, &QTimer::timeout, [&] { log << "second fires though stopped"; });
    QObject::connect(&third, &QTimer::timeout, [&] {
        log << "third fires " + afterItsInterval(clock, startedAt);
        loop.quit();
    });
    clock.start();
    startBothDue(first, second);
    execGuarded(loop, log);
    return log;
}

QStringList timersStoppedOrDeletedByAnotherHandler()
{
    QStringList log;
    QEventLoop loop;
    QTimer first;
    QTimer second;
    auto *third = new Ticker;
    third->onTick = [&] { log << "third fires though deleted"; };
    QObject::connect(&first, &QTimer::timeout, [&] {
        second.stop();
        delete third;
        log << "first stops second and deletes third";
        QTimer::singleShot(50, &loop, [&] {
            log << "later";
            loop.quit();
        });
    });
    QObject::connect(&second, &QTimer::timeout, [&] { log << "second fires though stopped"; });
    preciseSingleShot(first)->start(5);
    preciseSingleShot(second)->start(5);
    third->startTimer(5, Qt::PreciseTimer);
    QThread::msleep(30);
    execGuarded(loop, log);
    return log;
}

QStringList timerDueTogetherFiresInAnotherHandlersNestedLoop()
{
    QStringList log;
    QEventLoop loop;
    QTimer first;
    QTimer second;
    QEventLoop *nested = nullptr;
    QObject::connect(&first, &QTimer::timeout, [&] {
        log << "first runs a nested loop";
        QEventLoop inner;
        const QScopedValueRollback<QEventLoop *> running(nested, &inner);
        QTimer::singleShot(3000, &inner, [&] {
            log << "second does not come";
            inner.quit();
        });
        inner.exec();
        log << "the nested loop ends";
        loop.quit();
    });
    QObject::connect(&second, &QTimer::timeout, [&] {
        log << (nested ? "second fires inside it" : "second fires after it");
        if (nested)
            nested->quit();
    });
    startBothDue(first, second);
    execGuarded(loop, log);
    return log;
}

QStringList zeroTimerLetsTheRestRun()
{
    QStringList log;
    QEventLoop loop;
    Pipe pipe;
    QSocketNotifier notifier(pipe.readEnd(), QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        pipe.take();
        log << "socket";
    });
    auto *doomed = new QObject;
    QObject::connect(doomed, &QObject::destroyed, [&] { log << "deleteLater"; });
    int ticks = 0;
    QTimer zero;
    zero.setInterval(0);
    QObject::connect(&zero, &QTimer::timeout, [&] {
        if (++ticks > 2)
            return;
        log << QStringLiteral("tick %1").arg(ticks);
        if (ticks == 1) {
            QMetaObject::invokeMethod(&loop, [&] { log << "posted"; }, Qt::QueuedConnection);
            doomed->deleteLater();
            pipe.put();
        }
    });
    QTimer other;
    QObject::connect(preciseSingleShot(other), &QTimer::timeout, [&] {
        log << (ticks > 2 ? "another timer comes while the zero timer keeps firing" : "another timer");
        zero.stop();
        loop.quit();
    });
    zero.start();
    other.start(30);
    execGuarded(loop, log);
    return log;
}

// Two notifiers ready in the same turn; whichever comes first does `act` to the other.
using NotifierAct = std::function<QString(QSocketNotifier *&other, Pipe &otherPipe)>;

QStringList notifiersReadyTogether(QStringList &log, QEventLoop &loop, const NotifierAct &act,
                                   const std::function<void()> &atEnd = {})
{
    Pipe pipes[2];
    QSocketNotifier *notifiers[2] = {new QSocketNotifier(pipes[0].readEnd(), QSocketNotifier::Read),
                                     new QSocketNotifier(pipes[1].readEnd(), QSocketNotifier::Read)};
    bool acted = false;
    for (int self = 0; self < 2; ++self) {
        QObject::connect(notifiers[self], &QSocketNotifier::activated, [&, self] {
            pipes[self].take();
            if (acted) {
                log << "the other is read";
                return;
            }
            acted = true;
            log << "one is read and " + act(notifiers[1 - self], pipes[1 - self]);
            QMetaObject::invokeMethod(&loop, [&] { log << "next turn"; }, Qt::QueuedConnection);
        });
    }
    pipes[0].put();
    pipes[1].put();
    QTimer::singleShot(100, &loop, [&] {
        log << "later";
        loop.quit();
    });
    execGuarded(loop, log);
    if (atEnd)
        atEnd();
    for (QSocketNotifier *notifier : notifiers)
        delete notifier;
    return log;
}

QStringList notifierDisabledByAnother()
{
    QStringList log;
    QEventLoop loop;
    return notifiersReadyTogether(log, loop, [&](QSocketNotifier *&other, Pipe &) {
        other->setEnabled(false);
        QTimer::singleShot(0, &loop, [&other] { other->setEnabled(true); });
        return QStringLiteral("disables the other until the next turn");
    });
}

QStringList notifierDisabledAndEnabledAgainByAnother()
{
    QStringList log;
    QEventLoop loop;
    return notifiersReadyTogether(log, loop, [](QSocketNotifier *&other, Pipe &) {
        other->setEnabled(false);
        other->setEnabled(true);
        return QStringLiteral("disables and enables the other");
    });
}

QStringList deletedNotifiersDescriptorReused()
{
    // The deleted one is not activated; its descriptor now names an empty pipe,
    // watched by a new notifier: what was ready before is no news about that.
    QStringList log;
    QEventLoop loop;
    std::optional<Pipe> empty;
    std::unique_ptr<QSocketNotifier> watcher;
    const auto act = [&](QSocketNotifier *&other, Pipe &otherPipe) {
        delete std::exchange(other, nullptr);
        empty.emplace();
        const int fd = otherPipe.readEnd();
        if (::dup2(empty->readEnd(), fd) != fd)
            return QStringLiteral("deletes the other but cannot reuse its descriptor");
        watcher = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(watcher.get(), &QSocketNotifier::activated, [&] { log << "the empty pipe's notifier"; });
        return QStringLiteral("deletes the other and watches an empty pipe on its descriptor");
    };
    return notifiersReadyTogether(log, loop, act, [&] { watcher.reset(); });
}

QStringList timerInItsOwnNestedLoop()
{
    // Not fired again while its handler runs a nested loop; afterwards at its next deadline.
    QStringList log;
    QEventLoop loop;
    QElapsedTimer clock;
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    int fired = 0;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (++fired == 2) {
            // Its deadlines are kInterval apart; the one passed in the nested loop is gone.
            const qint64 at = clock.elapsed();
            log << (at >= kInterval * 3 - kInterval / 8 ? QStringLiteral("it fires again at its next deadline")
                                                        : QStringLiteral("it fires again at %1 ms").arg(at));
            timer.stop();
            loop.quit();
            return;
        }
        // From its first deadline to halfway between its second and third.
        QEventLoop nested;
        QTimer::singleShot(kInterval * 3 / 2, &nested, &QEventLoop::quit);
        nested.exec();
        log << QStringLiteral("its nested loop ends after %1 firing(s)").arg(fired);
    });
    clock.start();
    timer.start(kInterval);
    execGuarded(loop, log);
    return log;
}

QStringList turnsWithoutNotifiers()
{
    // A turn that leaves the notifiers alone waits for what it may handle.
    QStringList log;
    QEventLoop loop;
    Pipe pipe;
    pipe.put();
    QSocketNotifier notifier(pipe.readEnd(), QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        pipe.take();
        log << "socket";
        loop.quit();
    });
    bool fired = false;
    QTimer timer;
    QObject::connect(preciseSingleShot(timer), &QTimer::timeout, [&] { fired = true; });
    timer.start(50);
    int turns = 0;
    while (!fired && turns < 1000) {
        loop.processEvents(QEventLoop::ExcludeSocketNotifiers | QEventLoop::WaitForMoreEvents);
        ++turns;
    }
    log << (fired && turns <= 3 ? QStringLiteral("turns wait for the timer")
                                : QStringLiteral("%1 turns, timer %2").arg(turns).arg(fired ? "fired" : "waiting"));
    execGuarded(loop, log);
    return log;
}

QStringList deleteLaterWaitsForItsLoop()
{
    QStringList log;
    QEventLoop loop;
    auto *before = new QObject;
    QObject::connect(before, &QObject::destroyed, [&] { log << "deleted once the loop runs"; });
    before->deleteLater();
    auto *inHandler = new QObject;
    QObject::connect(inHandler, &QObject::destroyed, [&] {
        log << "deleted back in its loop";
        loop.quit();
    });
    QTimer timer;
    QObject::connect(preciseSingleShot(timer), &QTimer::timeout, [&] {
        inHandler->deleteLater();
        QEventLoop nested;
        QTimer::singleShot(20, &nested, &QEventLoop::quit);
        nested.exec();
        log << "a nested loop ends";
    });
    timer.start(5);
    execGuarded(loop, log);
    return log;
}

struct Case {
    const char *name;
    QStringList (*run)();
    QStringList expected;
    const char *notOnGlib = nullptr; // why glib's loop does otherwise
};

const std::vector<Case> &cases()
{
    static const std::vector<Case> all = {
        {"timer restarted by another handler", timerRestartedByAnotherHandler,
         {"first restarts second, which keeps its id", "second fires after its interval"}},
        {"killed timer's id taken by a new one", killedTimersIdTakenByANewOne,
         {"first stops second; third takes its id", "third fires after its interval"}},
        {"timers stopped or deleted by another handler", timersStoppedOrDeletedByAnotherHandler,
         {"first stops second and deletes third", "later"}},
        {"timer due together fires in another's nested loop", timerDueTogetherFiresInAnotherHandlersNestedLoop,
         {"first runs a nested loop", "second fires inside it", "the nested loop ends"}},
        {"zero timer lets the rest run", zeroTimerLetsTheRestRun,
         {"tick 1", "posted", "deleteLater", "socket", "tick 2",
          "another timer comes while the zero timer keeps firing"}},
        {"notifier disabled by another", notifierDisabledByAnother,
         {"one is read and disables the other until the next turn", "next turn", "the other is read", "later"}},
        {"notifier disabled and enabled again by another", notifierDisabledAndEnabledAgainByAnother,
         {"one is read and disables and enables the other", "next turn", "the other is read", "later"}},
        {"deleted notifier's descriptor reused", deletedNotifiersDescriptorReused,
         {"one is read and deletes the other and watches an empty pipe on its descriptor", "next turn", "later"}},
        {"deleteLater waits for its loop", deleteLaterWaitsForItsLoop,
         {"deleted once the loop runs", "a nested loop ends", "deleted back in its loop"}},
        {"timer in its own nested loop", timerInItsOwnNestedLoop,
         {"its nested loop ends after 1 firing(s)", "it fires again at its next deadline"}},
        {"turns without notifiers", turnsWithoutNotifiers, {"turns wait for the timer", "socket"},
         "glib's loop activates notifiers whatever the turn's flags"},
    };
    return all;
}

// A case on a thread of its own, whose loop is the dispatcher under test.
class CaseThread : public QThread {
public:
    explicit CaseThread(QStringList (*run)()) : m_run(run) {}
    QByteArray dispatcher;
    QStringList outcome;

protected:
    void run() override
    {
        dispatcher = QAbstractEventDispatcher::instance()->metaObject()->className();
        outcome = m_run();
    }

private:
    QStringList (*m_run)();
};

} // namespace

// The event loop of headless runs, with the test itself running on it: timers
// in order, a timer that runs a nested loop is not fired inside it again,
// sockets are read as they become ready, and events posted from another thread
// wake it. And case by case, next to Qt's own loops: what a handler does to
// other timers and notifiers due in the same turn, zero timers, posted events
// and deleteLater.
class EpollDispatcherTest : public QObject {
    Q_OBJECT
private slots:
    void runsOnThisLoop()
    {
        QVERIFY(qobject_cast<EpollEventDispatcher *>(QCoreApplication::eventDispatcher()));
    }

    void timersFireInTheOrderOfTheirDeadlines()
    {
        QStringList fired;
        QEventLoop loop;
        QTimer::singleShot(30, &loop, [&] { fired << "30"; loop.quit(); });
        QTimer::singleShot(10, &loop, [&] { fired << "10"; });
        QTimer::singleShot(0, &loop, [&] { fired << "0"; });
        int ticks = 0;
        QTimer repeating;
        connect(&repeating, &QTimer::timeout, [&] { ++ticks; });
        repeating.start(1);
        loop.exec();
        repeating.stop();
        QCOMPARE(fired, (QStringList{"0", "10", "30"}));
        QVERIFY(ticks >= 2);
    }

    void aTimerInItsOwnNestedLoopIsNotFiredAgain()
    {
        int outer = 0;
        int inner = 0;
        bool nestedRunning = false;
        bool refired = false;
        QTimer running;
        running.setInterval(0);
        connect(&running, &QTimer::timeout, [&] {
            refired = refired || nestedRunning;
            if (++outer > 1)
                return;
            const QScopedValueRollback<bool> inside(nestedRunning, true);
            QEventLoop nested;
            QTimer other;
            connect(&other, &QTimer::timeout, [&] {
                if (++inner == 3)
                    nested.quit();
            });
            other.start(0);
            nested.exec();
        });
        running.start();
        QTRY_VERIFY(outer >= 2);
        running.stop();
        QCOMPARE(inner, 3);
        QVERIFY(!refired);
    }

    // Each case on Qt's own loops (glib's and the plain Unix one) and on this
    // one, each on a thread of its own: the same things happen in the same order.
    void behavesAsQtsOwnLoops_data()
    {
        QTest::addColumn<QString>("dispatcher");
        QTest::addColumn<int>("index");
        for (int index = 0; index < int(cases().size()); ++index)
            for (const char *dispatcher : {"glib", "unix", "epoll"})
                QTest::addRow("%s, %s", cases()[std::size_t(index)].name, dispatcher) << QString::fromLatin1(dispatcher) << index;
    }

    void behavesAsQtsOwnLoops()
    {
        QFETCH(QString, dispatcher);
        QFETCH(int, index);
        const Case &which = cases()[std::size_t(index)];
        if (dispatcher == QLatin1String("glib") && which.notOnGlib)
            QSKIP(which.notOnGlib);
        CaseThread thread(which.run);
        if (dispatcher == QLatin1String("epoll"))
            thread.setEventDispatcher(new EpollEventDispatcher);
        const bool plain = dispatcher == QLatin1String("unix");
        if (plain)
            qputenv("QT_NO_GLIB", "1");
        thread.start();
        thread.wait();
        if (plain)
            qunsetenv("QT_NO_GLIB");
        const QByteArray expected = dispatcher == QLatin1String("glib")   ? "QEventDispatcherGlib"
                                    : dispatcher == QLatin1String("unix") ? "QEventDispatcherUNIX"
                                                                          : "EpollEventDispatcher";
        if (dispatcher == QLatin1String("glib") && thread.dispatcher != expected)
            QSKIP("this Qt has no glib loop");
        QCOMPARE(thread.dispatcher, expected);
        QCOMPARE(thread.outcome.join(QLatin1String(" | ")), which.expected.join(QLatin1String(" | ")));
    }

    void socketsAreReadAsTheyBecomeReady()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server.serverPort());
        QTRY_VERIFY(server.hasPendingConnections());
        QTcpSocket *peer = server.nextPendingConnection();
        QByteArray got;
        connect(peer, &QTcpSocket::readyRead, [&] { got += peer->readAll(); });
        const QByteArray big(256 * 1024, 'x');
        client.write(big);
        QTRY_COMPARE(got.size(), big.size());
        client.disconnectFromHost();
        QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
    }

    void eventsPostedFromAnotherThreadWakeIt()
    {
        bool arrived = false;
        QEventLoop loop;
        std::thread poster([&] {
            QMetaObject::invokeMethod(&loop, [&] { arrived = true; loop.quit(); }, Qt::QueuedConnection);
        });
        QTimer::singleShot(30000, &loop, &QEventLoop::quit);
        loop.exec();
        poster.join();
        QVERIFY(arrived);
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication::setEventDispatcher(new EpollEventDispatcher);
    QCoreApplication app(argc, argv);
    EpollDispatcherTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_epoll_dispatcher.moc"
