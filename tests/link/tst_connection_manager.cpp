#include "link/connection_manager.h"

#include "common/recorders.h"
#include "engine/display_model.h"
#include "engine/errors.h"
#include "engine/main_view_state.h"
#include "engine/terminal_state.h"
#include "support/test_host.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace
{

// One emulator's worth of link collaborators, fresh for each test.
struct Rig {
    TerminalState state;
    DisplayModel display;
    MainViewState view;
    RecordingPrompts prompts;
    ConnectionManager link{state, display, view, prompts};
    RecordingReset reset;
    QList<QByteArray> reads;

    Rig()
    {
        link.setHostDataSink([this](const QByteArray &read) { reads.append(read); });
        link.setResetCommand(&reset);
        link.setTelNetPort(0);
        link.setStoredPortAndAddress(QStringLiteral("1001"), QStringLiteral("127.0.0.1"));
    }

    QByteArray allRead() const
    {
        QByteArray out;
        for (const QByteArray &r : reads)
            out += r;
        return out;
    }

    void openClientTo(quint16 port, int protocol = TerminalState::kVt100)
    {
        state.connectionRole = TerminalState::kClient;
        state.protocolKind = protocol;
        link.setClientAddress(QStringLiteral("127.0.0.1"));
        link.setClientPort(port);
        link.OpenConnection();
    }
};

std::unique_ptr<QTcpSocket> connectTo(quint16 port)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, port);
    return socket;
}

const QString kProblem = QStringLiteral("Problema na conexão! O Socket será fechado.");

} // namespace

class ConnectionManagerTest : public QObject
{
    Q_OBJECT
private slots:
    void serverSendsToNewestOpenHost()
    {
        Rig rig;
        rig.state.connectionRole = TerminalState::kServer;
        rig.link.setServerPort(0);
        rig.link.OpenConnection();
        QCOMPARE(rig.view.statusPanel0(), QStringLiteral("Porta: 1001"));
        QCOMPARE(rig.view.statusPanel1(), QString());
        const quint16 port = rig.link.serverListeningPort();

        auto first = connectTo(port);
        QTRY_COMPARE(rig.link.hostConnectionCount(), 1);
        QCOMPARE(rig.display.view2(), QByteArray("Conectado"));
        QVERIFY(rig.view.connectionButtonsEnabled());
        auto second = connectTo(port);
        QTRY_COMPARE(rig.link.hostConnectionCount(), 2);

        rig.link.SendToHost("to-second");
        QTRY_VERIFY(second->bytesAvailable() >= 9);
        QCOMPARE(second->readAll(), QByteArray("to-second"));

        // Both hosts are read.
        first->write("from-first");
        second->write("from-second");
        QTRY_VERIFY(rig.allRead().contains("from-first") && rig.allRead().contains("from-second"));

        // The newest host leaving is no error: the older one becomes the destination.
        second->disconnectFromHost();
        QTRY_COMPARE(rig.link.hostConnectionCount(), 1);
        rig.link.SendToHost("to-first");
        QTRY_VERIFY(first->bytesAvailable() > 0);
        QCOMPARE(first->readAll(), QByteArray("to-first"));

        first->disconnectFromHost();
        QTRY_COMPARE(rig.link.hostConnectionCount(), 0);
        rig.link.SendToHost("to-nobody");
        QVERIFY(rig.prompts.messages.isEmpty());
        QVERIFY(rig.link.isServerActive());
        QCOMPARE(rig.display.view2(), QByteArray("Conectado"));
    }

    void sendsAreQueuedInOrder()
    {
        Rig rig;
        TestHost host;
        QVERIFY(host.listen());
        rig.openClientTo(host.port());
        QTRY_COMPARE(host.connectionCount(), 1);
        QTRY_COMPARE(rig.display.view2(), QByteArray("Conectado"));

        // Far more than a socket takes at once, in many small sends.
        QByteArray expected;
        for (int i = 0; i < 20000; ++i) {
            const QByteArray chunk = QByteArray::number(i) + ',';
            expected += chunk;
            rig.link.SendToHost(chunk);
        }
        QTRY_COMPARE_WITH_TIMEOUT(host.received(0).size(), expected.size(), 10000);
        QCOMPARE(host.received(0), expected);
    }

    void refusedAttemptsRepeatCalmlyUntilHostListens()
    {
        Rig rig;
        const quint16 port = unusedPort();
        QElapsedTimer clock;
        clock.start();
        rig.openClientTo(port);
        QCOMPARE(rig.view.statusPanel1(), QStringLiteral("IP Remoto: 127.0.0.1"));

        QTRY_VERIFY_WITH_TIMEOUT(rig.link.clientAttemptCount() >= 4, 10000);
        // Retries are paced, not spun: three pauses took at least most of 3 x 500 ms.
        QVERIFY2(clock.elapsed() >= 3 * 400, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(rig.link.isClientActive());
        QVERIFY(rig.prompts.messages.isEmpty());
        QVERIFY(!rig.view.connectionButtonsEnabled());

        TestHost host;
        QVERIFY(host.listen(port));
        QTRY_COMPARE_WITH_TIMEOUT(rig.display.view2(), QByteArray("Conectado"), 5000);
        QVERIFY(rig.view.connectionButtonsEnabled());
        QCOMPARE(host.connectionCount(), 1);
        QVERIFY(rig.prompts.messages.isEmpty());
    }

    void hostClosingStartsResetOneSecondLater()
    {
        Rig rig;
        rig.reset.reopen = &rig.link;
        TestHost host;
        QVERIFY(host.listen());
        rig.openClientTo(host.port());
        QTRY_COMPARE(host.connectionCount(), 1);
        QTRY_VERIFY(rig.view.connectionButtonsEnabled());

        QElapsedTimer clock;
        clock.start();
        host.connection(0)->disconnectFromHost();
        QTRY_VERIFY(!rig.link.isClientActive());
        QVERIFY(rig.link.reconnectPending());
        QTRY_COMPARE_WITH_TIMEOUT(rig.reset.runs, 1, 5000);
        QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed())));
        // An orderly close by the host is not reported as a fault.
        QVERIFY(rig.prompts.messages.isEmpty());

        QTRY_COMPARE(host.connectionCount(), 2);
        host.connection(1)->write("again");
        QTRY_COMPARE(rig.allRead(), QByteArray("again"));
        QVERIFY(!rig.link.reconnectPending());
    }

    void otherClientErrorIsReportedOnceWithoutRetry()
    {
        Rig rig;
        rig.link.setRefusedRetryDelay(0);
        rig.state.connectionRole = TerminalState::kClient;
        // The system refuses a TCP connection to a multicast group at once; nothing leaves the machine.
        rig.link.setClientAddress(QStringLiteral("224.0.0.1"));
        rig.link.setClientPort(9);
        rig.link.OpenConnection();
        QTRY_COMPARE(rig.prompts.messages.size(), 1);
        QCOMPARE(rig.prompts.messages[0].caption, QStringLiteral("Conexão Socket"));
        QCOMPARE(rig.prompts.messages[0].text, kProblem);
        QCOMPARE(rig.prompts.messages[0].icon, Prompts::Icon::Error);
        QVERIFY(!rig.link.isClientActive());
        QVERIFY(!rig.link.reconnectPending());
        QCoreApplication::processEvents();
        QCOMPARE(rig.link.clientAttemptCount(), 1);
        QCOMPARE(rig.prompts.messages.size(), 1);
    }

    void leavingMainWindowStopsReconnection()
    {
        Rig rig;
        rig.link.setReconnectDelay(20);
        TestHost host;
        QVERIFY(host.listen());
        rig.openClientTo(host.port());
        QTRY_COMPARE(host.connectionCount(), 1);
        QTRY_VERIFY(rig.view.connectionButtonsEnabled());
        QSignalSpy hostSawEnd(host.connection(0), &QTcpSocket::disconnected);

        // "Sair": the flag first, then the client is disconnected and closed.
        rig.state.mainWindowClosing = true;
        rig.link.disconnectClient();
        rig.link.closeClient();
        QVERIFY(!rig.link.isClientActive());
        QVERIFY(hostSawEnd.wait());
        QTRY_VERIFY(!rig.link.reconnectPending());
        QCOMPARE(rig.reset.runs, 0);
        QCOMPARE(host.connectionCount(), 1);
        QVERIFY(rig.prompts.messages.isEmpty());
    }

    void resetClosingClientStartsReconnectTimer()
    {
        Rig rig;
        TestHost host;
        QVERIFY(host.listen());
        rig.openClientTo(host.port());
        QTRY_VERIFY(rig.view.connectionButtonsEnabled());
        rig.link.closeClient();
        QVERIFY(rig.link.reconnectPending());
        // Reopened before the tick: connecting again stops the timer.
        rig.link.openClient();
        QTRY_COMPARE(host.connectionCount(), 2);
        QTRY_VERIFY(!rig.link.reconnectPending());
        QCOMPARE(rig.reset.runs, 0);
    }

    void telNetListenerClosesEveryCallerAtOnce()
    {
        Rig rig;
        TestHost host;
        QVERIFY(host.listen());
        rig.openClientTo(host.port(), TerminalState::kTelnet);
        QVERIFY(rig.link.isTelNetActive());
        for (int i = 0; i < 2; ++i) {
            auto caller = connectTo(rig.link.telNetListeningPort());
            QSignalSpy closed(caller.get(), &QTcpSocket::disconnected);
            QVERIFY(closed.wait());
            QCOMPARE(caller->readAll(), QByteArray());
        }
        QVERIFY(rig.link.isTelNetActive());
        QVERIFY(rig.prompts.messages.isEmpty());
        rig.link.closeTelNet();
        QVERIFY(!rig.link.isTelNetActive());
    }

    void listeningPortInUseIsReported()
    {
        Rig rig;
        TestHost occupant;
        QVERIFY(occupant.listen());
        rig.state.connectionRole = TerminalState::kServer;
        rig.state.protocolKind = TerminalState::kTelnet;
        rig.link.setServerPort(occupant.port());
        try {
            rig.link.OpenConnection();
            QFAIL("OpenConnection went on with its port taken");
        } catch (const AppError &error) {
            QVERIFY2(error.text().contains(QString::number(occupant.port())), qPrintable(error.text()));
            QVERIFY2(error.text().contains(QStringLiteral("em uso")), qPrintable(error.text()));
        }
        QVERIFY(!rig.link.isServerActive());
        // The operation stopped there: status bar and TelNet untouched.
        QCOMPARE(rig.view.statusPanel0(), QStringLiteral("Porta:"));
        QVERIFY(!rig.link.isTelNetActive());
    }

    void telNetPortUnavailableIsToldOnceAndLinkWorks()
    {
        Rig rig;
        TestHost occupant;
        QVERIFY(occupant.listen());
        rig.link.setTelNetPort(occupant.port());
        TestHost host;
        QVERIFY(host.listen());
        rig.openClientTo(host.port(), TerminalState::kTelnet);
        QCOMPARE(rig.prompts.messages.size(), 1);
        QVERIFY(rig.prompts.messages[0].text.contains(QString::number(occupant.port())));
        QVERIFY(!rig.link.isTelNetActive());

        QTRY_COMPARE(host.connectionCount(), 1);
        host.connection(0)->write(QByteArray::fromHex("41FFFD1842"));
        QTRY_COMPARE(host.received(0), QByteArray::fromHex("FFFB18"));
        QTRY_COMPARE(rig.allRead(), QByteArray("AB"));

        rig.link.closeClient();
        rig.link.OpenConnection();
        QCOMPARE(rig.prompts.messages.size(), 1);
    }

    void clientAddressMustBeDottedIPv4()
    {
        Rig rig;
        rig.state.connectionRole = TerminalState::kClient;
        for (const char *bad : {"localhost", "127.0.0", "127.0.0.256", "", "1.2.3.4 "}) {
            rig.link.setClientAddress(QString::fromLatin1(bad));
            QVERIFY_THROWS_EXCEPTION(AppError, rig.link.OpenConnection());
            QVERIFY(!rig.link.isClientActive());
        }
    }

    void openSocketRefusesNewSettings()
    {
        Rig rig;
        TestHost host;
        QVERIFY(host.listen());
        rig.openClientTo(host.port());
        QVERIFY_THROWS_EXCEPTION(AppError, rig.link.setClientPort(1));
        QCOMPARE(rig.link.clientPort(), host.port());
    }

    void receivePathPerRead()
    {
        Rig rig;
        TestHost host;
        QVERIFY(host.listen());
        rig.openClientTo(host.port(), TerminalState::kTelnet);
        rig.state.comutadoraMode = true;
        QTRY_COMPARE(host.connectionCount(), 1);
        QTcpSocket *peer = host.connection(0);

        // Comutadora filter first, then Telnet decoding: the IAC DO inside the frame for 00 is answered.
        peer->write(QByteArray("xx\x02"
                               "D01no\x03\x02"
                               "D00a") +
                    QByteArray::fromHex("FFFD18") + "b\x03");
        QTRY_COMPARE(rig.reads.size(), 1);
        QCOMPARE(rig.reads[0], QByteArray("\x02"
                                          "D00ab\x03"));
        QTRY_COMPARE(host.received(0), QByteArray::fromHex("FFFB18"));

        // A fault in the interpreter is reported for that read only.
        rig.state.comutadoraMode = false;
        rig.state.protocolKind = TerminalState::kVt100;
        rig.link.setHostDataSink([&rig](const QByteArray &read) {
            rig.reads.append(read);
            if (read == "bad")
                throw AppError(QStringLiteral("falhou"));
        });
        QSignalSpy delivered(&rig.link, &ConnectionManager::hostDataDelivered);
        peer->write("bad");
        QVERIFY(delivered.wait());
        QCOMPARE(rig.prompts.texts(), QStringList{QStringLiteral("falhou.")});
        // Without Telnet the bytes go on unchanged, IAC included.
        peer->write(QByteArray::fromHex("41FFFD18"));
        QTRY_COMPARE(rig.reads.last(), QByteArray::fromHex("41FFFD18"));
        QVERIFY(rig.link.isClientActive());
    }

    void telnetAnswersGoToClientOnly()
    {
        Rig rig;
        rig.state.connectionRole = TerminalState::kServer;
        rig.state.protocolKind = TerminalState::kTelnet;
        rig.link.setServerPort(0);
        rig.link.OpenConnection();
        auto host = connectTo(rig.link.serverListeningPort());
        QTRY_COMPARE(rig.link.hostConnectionCount(), 1);
        host->write(QByteArray::fromHex("41FFFD18FFFA1801FFF042"));
        QTRY_COMPARE(rig.allRead(), QByteArray("AB"));
        // Had the request been answered, the answer would arrive before this.
        rig.link.SendToHost("z");
        QTRY_VERIFY(host->bytesAvailable() > 0);
        QCOMPARE(host->readAll(), QByteArray("z"));
    }
};

QTEST_GUILESS_MAIN(ConnectionManagerTest)
#include "tst_connection_manager.moc"
