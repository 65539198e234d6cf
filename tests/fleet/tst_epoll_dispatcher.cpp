#include "fleet/epoll_dispatcher.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QScopedValueRollback>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <thread>

// The event loop of headless runs, with the test itself running on it: timers
// in order, a timer that runs a nested loop is not fired inside it again,
// a timer killed by another due in the same pass does not fire, sockets are
// read as they become ready, and events posted from another thread wake it.
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

    void aTimerKilledInTheSamePassDoesNotFire()
    {
        bool secondFired = false;
        QTimer first;
        QTimer second;
        first.setSingleShot(true);
        second.setSingleShot(true);
        connect(&first, &QTimer::timeout, [&] { second.stop(); });
        connect(&second, &QTimer::timeout, [&] { secondFired = true; });
        first.start(5);
        second.start(5);
        QTest::qWait(50);
        QVERIFY(!secondFired);
        QCOMPARE(QCoreApplication::eventDispatcher()->registeredTimers(&second).size(), 0);
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
