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
    QByteArray read;
    int reads = 0;

    Rig()
    {
        link.setHostDataSink([this](const QByteArray &bytes) {
            read += bytes;
            ++reads;
        });
        link.setResetCommand(&reset);
        link.setTelNetPort(0);
        link.setStoredPortAndAddress(QStringLiteral("1001"), QStringLiteral("127.0.0.1"));
    }
    void open(int role, quint16 port, int protocol = TerminalState::kVt100)
    {
        state.connectionRole = role;
        state.protocolKind = protocol;
        link.setServerPort(port);
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

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

} // namespace

class ConnectionManagerTest : public QObject
{
    Q_OBJECT
private slots:
    void serverSendsToNewestOpenHost()
    {
        Rig rig;
        rig.open(TerminalState::kServer, 0);
        QCOMPARE(rig.view.statusPanel0() + '|' + rig.view.statusPanel1(), QStringLiteral("Porta: 1001|"));
        auto first = connectTo(rig.link.serverListeningPort());
        QTRY_COMPARE(rig.link.hostConnectionCount(), 1);
        QCOMPARE(rig.display.view2(), QByteArray("Conectado"));
        QVERIFY(rig.view.connectionButtonsEnabled());
        auto second = connectTo(rig.link.serverListeningPort());
        QTRY_COMPARE(rig.link.hostConnectionCount(), 2);

        rig.link.SendToHost("2nd");
        QTRY_VERIFY(second->bytesAvailable() == 3);
        first->write("a");
        second->write("b");
        QTRY_COMPARE(rig.read.size(), 2);

        // A host leaving is no fault: the older one becomes the destination, the Server listens on.
        second->disconnectFromHost();
        QTRY_COMPARE(rig.link.hostConnectionCount(), 1);
        rig.link.SendToHost("1st");
        QTRY_VERIFY(first->bytesAvailable() > 0);
        QCOMPARE(first->readAll(), QByteArray("1st"));
        first->disconnectFromHost();
        QTRY_COMPARE(rig.link.hostConnectionCount(), 0);
        rig.link.SendToHost("nobody");
        QVERIFY(rig.prompts.messages.isEmpty());
        QVERIFY(rig.link.isServerActive());
    }

    void refusedAttemptsRepeatCalmlyUntilHostListens()
    {
        Rig rig;
        const quint16 port = unusedPort();
        QElapsedTimer clock;
        clock.start();
        rig.open(TerminalState::kClient, port);
        QCOMPARE(rig.view.statusPanel1(), QStringLiteral("IP Remoto: 127.0.0.1"));
        QTRY_VERIFY_WITH_TIMEOUT(rig.link.clientAttemptCount() >= 4, 10000);
        // Paced, not spun: three pauses of 500 ms took at least most of that.
        QVERIFY2(clock.elapsed() >= 3 * 400, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(rig.prompts.messages.isEmpty());

        TestHost host;
        QVERIFY(host.listen(port));
        QTRY_COMPARE_WITH_TIMEOUT(rig.display.view2(), QByteArray("Conectado"), 5000);
        QVERIFY(rig.view.connectionButtonsEnabled());
        QVERIFY(rig.prompts.messages.isEmpty());
    }

    void hostClosingStartsResetOneSecondLater()
    {
        Rig rig;
        rig.reset.reopen = &rig.link;
        TestHost host;
        QVERIFY(host.listen());
        rig.open(TerminalState::kClient, host.port());
        QTRY_VERIFY(rig.view.connectionButtonsEnabled());
        QElapsedTimer clock;
        clock.start();
        host.connection(0)->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(rig.reset.runs, 1, 5000);
        QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed())));
        // An orderly close by the host is not reported as a fault.
        QVERIFY(rig.prompts.messages.isEmpty());
        QTRY_COMPARE(host.connectionCount(), 2);
        host.connection(1)->write("again");
        QTRY_COMPARE(rig.read, QByteArray("again"));
        QVERIFY(!rig.link.reconnectPending());
    }

    void otherClientErrorIsReportedOnceWithoutRetry()
    {
        Rig rig;
        rig.link.setRefusedRetryDelay(0);
        TestHost host;
        QVERIFY(host.listen());
        rig.open(TerminalState::kClient, host.port());
        // A time-out during the attempt stands for every error other than a refusal; it is raised
        // on the Client socket itself so that nothing but loopback is ever dialled.
        auto *client = rig.link.findChild<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly);
        QVERIFY(client);
        QCOMPARE(client->state(), QAbstractSocket::ConnectingState);
        emit client->errorOccurred(QAbstractSocket::SocketTimeoutError);
        QCOMPARE(rig.prompts.messages.size(), 1);
        QCOMPARE(rig.prompts.messages[0].caption, QStringLiteral("Conexão Socket"));
        QCOMPARE(rig.prompts.messages[0].text, QStringLiteral("Problema na conexão! O Socket será fechado."));
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
        rig.open(TerminalState::kClient, host.port());
        QTRY_VERIFY(rig.view.connectionButtonsEnabled());
        QSignalSpy hostSawEnd(host.connection(0), &QTcpSocket::disconnected);
        rig.state.mainWindowClosing = true;
        rig.link.disconnectClient();
        rig.link.closeClient();
        QVERIFY(hostSawEnd.wait());
        QTRY_VERIFY(!rig.link.reconnectPending());
        QCOMPARE(rig.reset.runs, 0);
        QCOMPARE(host.connectionCount(), 1);
        QVERIFY(rig.prompts.messages.isEmpty());
    }

    void telNetListenerClosesEveryCallerAtOnce()
    {
        Rig rig;
        TestHost host;
        QVERIFY(host.listen());
        rig.open(TerminalState::kClient, host.port(), TerminalState::kTelnet);
        for (int i = 0; i < 2; ++i) {
            auto caller = connectTo(rig.link.telNetListeningPort());
            QSignalSpy closed(caller.get(), &QTcpSocket::disconnected);
            QVERIFY(closed.wait());
            QCOMPARE(caller->readAll(), QByteArray());
        }
        QVERIFY(rig.link.isTelNetActive());
        QVERIFY(rig.prompts.messages.isEmpty());
    }

    void portsThatCannotBeOpened()
    {
        TestHost occupant;
        QVERIFY(occupant.listen());
        const QString port = QString::number(occupant.port());
        {
            // Server port taken: OpenConnection stops with the port and the reason; nothing else opens.
            Rig rig;
            try {
                rig.open(TerminalState::kServer, occupant.port(), TerminalState::kTelnet);
                QFAIL("OpenConnection went on with its port taken");
            } catch (const AppError &error) {
                QVERIFY2(error.text().contains(port) && error.text().contains("em uso"),
                         qPrintable(error.text()));
            }
            QCOMPARE(rig.view.statusPanel0(), QStringLiteral("Porta:"));
            QVERIFY(!rig.link.isTelNetActive());
            rig.link.setClientAddress(QStringLiteral("localhost"));
            rig.state.connectionRole = TerminalState::kClient;
            QVERIFY_THROWS_EXCEPTION(AppError, rig.link.OpenConnection());
            // Port 0 (left by a stored port that could not be used) would be refused and retried forever.
            rig.link.setClientAddress(QStringLiteral("127.0.0.1"));
            rig.link.setClientPort(0);
            QVERIFY_THROWS_EXCEPTION(AppError, rig.link.OpenConnection());
            QVERIFY(!rig.link.isClientActive());
            QCOMPARE(rig.link.clientAttemptCount(), 0);
        }
        // TelNet port taken: said once, and Telnet works over the Client all the same.
        Rig rig;
        rig.link.setTelNetPort(occupant.port());
        TestHost host;
        QVERIFY(host.listen());
        rig.open(TerminalState::kClient, host.port(), TerminalState::kTelnet);
        QCOMPARE(rig.prompts.messages.size(), 1);
        QVERIFY(rig.prompts.messages[0].text.contains(port));
        QTRY_COMPARE(host.connectionCount(), 1);
        host.connection(0)->write(hex("41FFFD1842"));
        QTRY_COMPARE(host.received(0), hex("FFFB18"));
        QTRY_COMPARE(rig.read, QByteArray("AB"));
        rig.link.closeClient();
        rig.link.OpenConnection();
        QCOMPARE(rig.prompts.messages.size(), 1);
    }

    void receivePathFiltersThenDecodesEachRead()
    {
        Rig rig;
        TestHost host;
        QVERIFY(host.listen());
        rig.open(TerminalState::kClient, host.port(), TerminalState::kTelnet);
        rig.state.comutadoraMode = true;
        QTRY_COMPARE(host.connectionCount(), 1);
        host.connection(0)->write("xx\x02"
                                  "D01no\x03\x02"
                                  "D00a" +
                                  hex("FFFD18") + "b\x03");
        QTRY_COMPARE(rig.read, QByteArray("\x02"
                                          "D00ab\x03"));
        QCOMPARE(rig.reads, 1);
        QTRY_COMPARE(host.received(0), hex("FFFB18"));

        // A fault in the interpreter is reported for its read; the next read goes on.
        rig.link.setHostDataSink([&rig](const QByteArray &bytes) {
            rig.read = bytes;
            if (bytes.contains("bad"))
                throw AppError(QStringLiteral("falhou"));
        });
        QSignalSpy delivered(&rig.link, &ConnectionManager::hostDataDelivered);
        host.connection(0)->write("\x02"
                                  "D00bad\x03");
        QVERIFY(delivered.wait());
        QCOMPARE(rig.prompts.texts(), QStringList{QStringLiteral("falhou.")});
        rig.state.comutadoraMode = false;
        rig.state.protocolKind = TerminalState::kVt100;
        host.connection(0)->write(hex("41FFFD18"));
        QTRY_COMPARE(rig.read, hex("41FFFD18"));
    }

    void telnetAnswersGoToClientOnly()
    {
        Rig rig;
        rig.open(TerminalState::kServer, 0, TerminalState::kTelnet);
        auto host = connectTo(rig.link.serverListeningPort());
        QTRY_COMPARE(rig.link.hostConnectionCount(), 1);
        host->write(hex("41FFFD18FFFA1801FFF042"));
        QTRY_COMPARE(rig.read, QByteArray("AB"));
        // Had the request been answered, the answer would arrive before this.
        rig.link.SendToHost("z");
        QTRY_VERIFY(host->bytesAvailable() > 0);
        QCOMPARE(host->readAll(), QByteArray("z"));
    }
};

QTEST_GUILESS_MAIN(ConnectionManagerTest)
#include "tst_connection_manager.moc"
