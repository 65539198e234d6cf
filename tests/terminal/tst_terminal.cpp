// The terminal as a unit without windows: the loading step, the settings OK,
// the run without windows, operator actions, the event stream, and two
// terminals side by side in one process sharing nothing.

#include "common/recorders.h"
#include "terminal/terminal.h"

#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

// A terminal in a fresh folder with a recorder for the user, and a host on loopback.
struct Rig {
    QTemporaryDir folder;
    RecordingPrompts prompts;
    QTcpServer host;
    std::unique_ptr<Terminal> terminal;
    std::unique_ptr<QTcpSocket> connection;

    Rig() { host.listen(QHostAddress::LocalHost, 0); }

    void writeConfig(const QByteArray &text) const
    {
        QFile file(folder.filePath(QStringLiteral("Config.ini")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
    // A Client of the given protocol calling this rig's host.
    void writeClientConfig(int protocol) const
    {
        writeConfig("[Config]\r\nConexao=1\r\nEndereco=127.0.0.1\r\nPorta=" + QByteArray::number(host.serverPort()) +
                    "\r\nProtocolo=" + QByteArray::number(protocol) + "\r\n[CodigoBarras]\r\nDelai=0\r\n");
    }
    void build()
    {
        terminal = std::make_unique<Terminal>(folder.path(), prompts, [] { return QStringLiteral("10.1.2.3"); });
    }
    bool accept()
    {
        if (!host.hasPendingConnections() && !host.waitForNewConnection(5000))
            return false;
        connection.reset(host.nextPendingConnection());
        return true;
    }
    QByteArray readAtLeast(qsizetype n)
    {
        QByteArray got;
        QElapsedTimer clock;
        clock.start();
        while (got.size() < n && clock.elapsed() < 5000) {
            if (connection->bytesAvailable() == 0)
                QTest::qWait(5);
            got += connection->readAll();
        }
        return got;
    }
};

// Records the stream of events as short words.
struct Recorder : TerminalObserver {
    QStringList events;
    QByteArray received;
    QByteArray sent;
    void hostDataReceived(const QByteArray &bytes) override
    {
        events << QStringLiteral("received");
        received += bytes;
    }
    void hostDataSent(const QByteArray &bytes) override
    {
        events << QStringLiteral("sent");
        sent += bytes;
    }
    void linkChanged(LinkEvent event, const QString &, const QString &) override
    {
        events << QStringLiteral("link%1").arg(int(event));
    }
    void displayChanged() override { events << QStringLiteral("display"); }
    void ledsChanged() override { events << QStringLiteral("leds"); }
    void printerChanged() override { events << QStringLiteral("printer"); }
    void messageShown(const QString &, const QString &text) override { events << QStringLiteral("message:") + text; }
    void operatorChanged() override { events << QStringLiteral("operator"); }
};

} // namespace

class TstTerminal : public QObject {
    Q_OBJECT

private slots:
    void loadingStepAppliesTheStoredSettings()
    {
        Rig rig;
        rig.writeConfig("[Config]\r\nConexao=0\r\nPorta=2345\r\nProtocolo=2\r\nInicializacao=1\r\n"
                        "[CodigoBarras]\r\nCofig_Leitor=3\r\nDelai=25\r\n");
        rig.build();
        const LoadedSettings loaded = rig.terminal->load();
        QVERIFY(loaded.portApplied);
        QCOMPARE(rig.terminal->state().connectionRole, TerminalState::kServer);
        QCOMPARE(rig.terminal->state().protocolKind, TerminalState::kTelnet);
        QCOMPARE(rig.terminal->connections().serverPort(), quint16(2345));
        QCOMPARE(rig.terminal->barcode().terminatorIndex(), BarcodeReader::kCrLf);
        QCOMPARE(rig.terminal->state().barcodeCharDelay, 25);
        QCOMPARE(rig.terminal->view().statusPanel0(), QStringLiteral("Porta: 2345"));
        // Automatic start is honoured only for this machine's or a loopback address.
        QVERIFY(rig.terminal->commands().autoStartChecked());
        QVERIFY(rig.prompts.messages.isEmpty());

        Rig fresh;
        fresh.build();
        fresh.terminal->load();
        QVERIFY(QFile::exists(fresh.folder.filePath(QStringLiteral("Config.ini"))));
        QCOMPARE(fresh.terminal->state().connectionRole, TerminalState::kClient);

        Rig badPort;
        badPort.writeConfig("[Config]\r\nConexao=1\r\nPorta=http\r\n");
        badPort.build();
        QVERIFY(!badPort.terminal->load().portApplied);
        QCOMPARE(badPort.prompts.messages.size(), 1);
    }

    void settingsActivationAndOk()
    {
        QCOMPARE(Terminal::protocolOnSettingsActivation(true, TerminalState::kVt100), TerminalState::kZorvane);
        QCOMPARE(Terminal::protocolOnSettingsActivation(false, TerminalState::kTelnet), TerminalState::kTelnet);
        QCOMPARE(Terminal::protocolOnSettingsActivation(false, -1), TerminalState::kZorvane);

        Rig rig;
        rig.writeClientConfig(TerminalState::kVt100);
        rig.build();
        rig.terminal->load();
        rig.terminal->state().protocolKind = -1;
        QVERIFY(!rig.terminal->confirmSettings());
        QCOMPARE(rig.prompts.texts(), QStringList{QStringLiteral("Selecione o Protocolo de Comunicação!")});
        QVERIFY(!rig.terminal->connections().isClientActive());
    }

    void runWithoutWindowsConnectsAndActs()
    {
        Rig rig;
        rig.writeClientConfig(TerminalState::kVt100);
        // Automatic start off: the run opens the connection all the same.
        rig.build();
        Recorder recorder;
        rig.terminal->addObserver(&recorder);
        QVERIFY(rig.terminal->startWithoutWindows(false));
        QVERIFY(rig.accept());
        QTRY_VERIFY(rig.terminal->connections().isHostConnected());
        QTRY_COMPARE(rig.terminal->display().view2(), QByteArray("Conectado"));

        OperatorActions &actions = rig.terminal->actions();
        QSignalSpy changed(&actions, &OperatorActions::changed);
        actions.pressKey(Keyboard::Key::A);
        actions.setInput(2, true);
        actions.setInput(2, true);
        actions.sendBarcode("99");
        QCOMPARE(rig.readAtLeast(6), QByteArray("a@499\r"));
        QCOMPARE(changed.size(), 1);
        QVERIFY(rig.terminal->inputs().isInputOn(2));

        rig.connection->write("\x1b[01;05HOK");
        QTRY_COMPARE(rig.terminal->display().DisplayLine1().mid(4, 2), QByteArray("OK"));
        QCOMPARE(recorder.received, QByteArray("\x1b[01;05HOK"));
        QCOMPARE(recorder.sent, QByteArray("a@499\r"));
        QVERIFY(recorder.events.contains(QStringLiteral("operator")));
        QVERIFY(recorder.events.indexOf(QStringLiteral("received")) <
                recorder.events.lastIndexOf(QStringLiteral("display")));

        // A cursor operand with a letter: the user is told, the observers first.
        rig.connection->write("\x1b[0x;05H");
        QTRY_COMPARE(rig.prompts.messages.size(), 1);
        QVERIFY(recorder.events.last().startsWith(QStringLiteral("message:'0x'")));

        rig.terminal->removeObserver(&recorder);
        const int seen = int(recorder.events.size());
        actions.pressKey(Keyboard::Key::B);
        QCOMPARE(rig.readAtLeast(1), QByteArray("b"));
        QCOMPARE(recorder.events.size(), seen);
    }

    void comutadoraSpeaksZorvaneBehindAddressZero()
    {
        Rig rig;
        rig.writeClientConfig(TerminalState::kVt100);
        rig.build();
        QVERIFY(rig.terminal->startWithoutWindows(true));
        QCOMPARE(rig.terminal->state().protocolKind, TerminalState::kZorvane);
        QVERIFY(rig.accept());
        QTRY_VERIFY(rig.terminal->connections().isHostConnected());
        rig.terminal->actions().pressKey(Keyboard::Key::K1);
        QCOMPARE(rig.readAtLeast(5), QByteArray("\x02" "001\x03"));
    }

    void twoTerminalsShareNothing()
    {
        Rig first;
        Rig second;
        first.writeClientConfig(TerminalState::kZorvane);
        second.writeClientConfig(TerminalState::kVt100);
        first.build();
        second.build();
        QVERIFY(first.terminal->startWithoutWindows(false));
        QVERIFY(second.terminal->startWithoutWindows(false));
        QVERIFY(first.accept());
        QVERIFY(second.accept());
        QTRY_VERIFY(first.terminal->connections().isHostConnected());
        QTRY_VERIFY(second.terminal->connections().isHostConnected());

        first.terminal->actions().pressKey(Keyboard::Key::Q);
        second.terminal->actions().pressKey(Keyboard::Key::Q);
        first.terminal->actions().setBusy(true);
        QCOMPARE(first.readAtLeast(1), QByteArray("Q"));
        QCOMPARE(second.readAtLeast(1), QByteArray("q"));
        QVERIFY(!second.terminal->state().busy);

        first.connection->write("\x02" "DUM\x03");
        second.connection->write("DOIS");
        QTRY_COMPARE(first.terminal->display().DisplayLine1().left(2), QByteArray("UM"));
        QTRY_COMPARE(second.terminal->display().DisplayLine1().left(4), QByteArray("DOIS"));
        QCOMPARE(first.terminal->display().DisplayLine1().left(4), QByteArray("UM  "));

        first.terminal->actions().replaceScaleReadings({QByteArray("<2>1<3>")});
        QCOMPARE(second.terminal->scale().items().size(), 2);
    }
};

QTEST_GUILESS_MAIN(TstTerminal)
#include "tst_terminal.moc"
