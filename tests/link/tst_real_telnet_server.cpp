#include "link/connection_manager.h"

#include "common/recorders.h"
#include "engine/display_model.h"
#include "engine/main_view_state.h"
#include "engine/terminal_state.h"
#include "support/test_host.h"

#include <QFileInfo>
#include <QProcess>
#include <QtTest>

// The emulator as a Telnet client of a real Telnet server (telnetd started by
// socat, with /bin/cat as the session), through a relay that records the wire
// in both directions.
class RealTelnetServerTest : public QObject
{
    Q_OBJECT

    QProcess server;

private slots:
    void cleanup()
    {
        if (server.state() != QProcess::NotRunning) {
            server.terminate();
            if (!server.waitForFinished(3000))
                server.kill();
            server.waitForFinished(3000);
        }
    }

    void negotiatesAndEchoes()
    {
        const QString telnetd = QStringLiteral("/usr/sbin/telnetd");
        const QString socat = QStandardPaths::findExecutable(QStringLiteral("socat"));
        if (!QFileInfo::exists(telnetd) || socat.isEmpty())
            QSKIP("needs the packages inetutils-telnetd and socat");

        const quint16 serverPort = unusedPort();
        server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        server.start(socat, {QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr").arg(serverPort),
                             QStringLiteral("EXEC:%1 -h -E /bin/cat").arg(telnetd)});
        QVERIFY2(server.waitForStarted(), qPrintable(server.errorString()));

        // Emulator -> relay -> socat/telnetd; the relay keeps a copy of each direction.
        QTcpServer relay;
        QVERIFY(relay.listen(QHostAddress::LocalHost));
        QByteArray fromServer, fromEmulator;
        QTcpSocket upstream;
        QPointer<QTcpSocket> downstream;
        connect(&relay, &QTcpServer::newConnection, this, [&] {
            downstream = relay.nextPendingConnection();
            connect(downstream, &QTcpSocket::readyRead, this, [&] {
                const QByteArray bytes = downstream->readAll();
                fromEmulator += bytes;
                upstream.write(bytes);
            });
            upstream.connectToHost(QHostAddress::LocalHost, serverPort);
        });
        // socat may not listen yet: the relay keeps knocking, as the emulator would.
        connect(&upstream, &QTcpSocket::errorOccurred, this, [&](QAbstractSocket::SocketError error) {
            if (error == QAbstractSocket::ConnectionRefusedError)
                QTimer::singleShot(100, &upstream,
                                   [&] { upstream.connectToHost(QHostAddress::LocalHost, serverPort); });
        });
        connect(&upstream, &QTcpSocket::readyRead, this, [&] {
            const QByteArray bytes = upstream.readAll();
            fromServer += bytes;
            if (downstream)
                downstream->write(bytes);
        });

        TerminalState state;
        state.connectionRole = TerminalState::kClient;
        state.protocolKind = TerminalState::kTelnet;
        DisplayModel display;
        MainViewState view;
        RecordingPrompts prompts;
        ConnectionManager link(state, display, view, prompts);
        link.setTelNetPort(0);
        QByteArray decoded;
        link.setHostDataSink([&](const QByteArray &read) { decoded += read; });
        link.setClientAddress(QStringLiteral("127.0.0.1"));
        link.setClientPort(relay.serverPort());
        link.OpenConnection();

        // The session starts only once telnetd has the terminal type.
        const QByteArray typeAsked = QByteArray::fromHex("FFFA1801FFF0");
        const QByteArray typeGiven = QByteArray::fromHex("FFFA1800") + "vt100" + QByteArray::fromHex("FFF0");
        QTRY_VERIFY_WITH_TIMEOUT(fromServer.contains(typeAsked), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(fromEmulator.contains(typeGiven), 5000);
        QVERIFY(fromServer.contains(QByteArray::fromHex("FFFD18")));
        QVERIFY(fromEmulator.contains(QByteArray::fromHex("FFFB18")));
        // Options telnetd offers or asks for that the terminal does not have are refused.
        if (fromServer.contains(QByteArray::fromHex("FFFD20")))
            QVERIFY(fromEmulator.contains(QByteArray::fromHex("FFFC20")));
        if (fromServer.contains(QByteArray::fromHex("FFFB25")))
            QVERIFY(fromEmulator.contains(QByteArray::fromHex("FFFE25")));

        // Typed bytes go through the session's /bin/cat and come back as plain data.
        QTRY_VERIFY(view.connectionButtonsEnabled());
        link.SendToHost("hello\r\n");
        QTRY_VERIFY_WITH_TIMEOUT(decoded.contains("hello"), 10000);
        QVERIFY(!decoded.contains('\xFF'));
        QVERIFY(prompts.messages.isEmpty());
        link.closeClient();
    }
};

QTEST_GUILESS_MAIN(RealTelnetServerTest)
#include "tst_real_telnet_server.moc"
