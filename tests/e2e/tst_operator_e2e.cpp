#include "support/desktop_session.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <memory>

// The operator's side of the real program under a private X server: the
// program starts on its own as a Server, a test host on loopback connects, and
// what a user does at the main window (typing on the PC keyboard, ticking a
// digital input, pressing the barcode button, switching the scale on) is
// checked byte for byte at the host. What the host drives (the LEDs) is read
// back from screenshots, which are kept in the build folder.
class TestOperatorEndToEnd : public QObject
{
    Q_OBJECT

    static constexpr int kWait = 15000;
    const QString kMainCaption =
        QStringLiteral("DRUMEL TECH - Emulador de Comunicação TCP/IP - Versão 2.0.0.16");

    // Where the controls lie in the main window's client area, below the menu bar.
    static constexpr int kDisplayTop = 218;
    static constexpr QPoint kDisplayLine1{216, 229};
    static constexpr QPoint kInput1{559, 63};
    // The tick mark of "Input 1" and the check of "Busy".
    static constexpr QRect kInput1Box{522, 52, 22, 22};
    static constexpr QRect kBusyBox{70, 24, 22, 22};
    static constexpr QPoint kBalanca{233, 35};
    static constexpr QRect kScaleReadings{180, 52, 106, 24};
    static constexpr QPoint kCodigoDeBarras{305, 476};
    static constexpr QPoint kCarregaArquivo{68, 476};
    static QPoint ledCentre(int led) { return {570 - 38 * led, 238}; }

    // One PC key and what the host receives for it in each protocol.
    struct Stroke {
        const char *key;
        QByteArray vt100;
        QByteArray zorvane;
    };
    const std::array<Stroke, 18> kStrokes{{
        {"a", "a", "A"},
        {"shift+q", "q", "Q"}, // the protocol decides the case, not Shift
        {"m", "m", "M"},
        {"1", "1", "1"},
        {"0", "0", "0"},
        {"KP_7", "7", "7"},
        {"KP_0", "0", "0"},
        {"space", " ", " "},
        {"F5", "", ""}, // no terminal key
        {"period", ".", "."},
        {"comma", ",", ","},
        {"KP_Decimal", ",", ","},
        {"BackSpace", "\b", "\b"},
        {"Escape", "\x1b", "\x7f"},
        {"Delete", "\x1b", "\x7f"},
        {"Return", "\r", "\r"},
        {"KP_Enter", "\r", "\r"},
        {"z", "z", "Z"},
    }};

    e2e::DesktopSession m_desktop{kWait};
    QString m_binary;
    QString m_shots;
    std::unique_ptr<QTemporaryDir> m_folder;
    std::unique_ptr<QProcess> m_emulator;
    std::unique_ptr<QTcpSocket> m_host;
    QByteArray m_received;
    QString m_main;
    QString m_scenario;
    int m_clientTop = 0;

    QPoint inWindow(QPoint client) const { return client + QPoint(0, m_clientTop); }

    QImage shot(const QString &name) const
    {
        return m_desktop.screenshot(m_main,
                                    QStringLiteral("%1/operator-%2-%3.png").arg(m_shots, m_scenario, name));
    }

    static quint16 freePort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        return probe.serverPort();
    }

    void writeFile(const QString &name, const QByteArray &text)
    {
        QFile file(m_folder->filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(text), text.size());
    }

    // Starts the program in a fresh folder set for automatic start as a Server
    // with `protocol`, waits for its main window and finds where the client
    // area begins from the display lines, whose place in it is fixed.
    void startServer(int protocol, quint16 port, const QStringList &arguments = {}, int role = 0)
    {
        m_scenario = protocol == 0 ? QStringLiteral("vt100") : QStringLiteral("zorvane");
        writeFile(QStringLiteral("Config.ini"),
                  "[Config]\r\nPorta=" + QByteArray::number(port) +
                      "\r\nEndereco=127.0.0.1\r\nProtocolo=" + QByteArray::number(protocol) +
                      "\r\nConexao=" + QByteArray::number(role) + "\r\nInicializacao=1\r\n"
                      "[CodigoBarras]\r\nCofig_Leitor=1\r\nDelai=0\r\n");
        m_emulator = std::make_unique<QProcess>();
        m_emulator->setProcessEnvironment(m_desktop.environment());
        m_emulator->setWorkingDirectory(m_folder->path());
        m_emulator->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_emulator->start(m_binary, arguments);
        QVERIFY(m_emulator->waitForStarted(kWait));

        m_main = m_desktop.waitForWindow(kMainCaption);
        QVERIFY2(!m_main.isEmpty(), "the main window did not come up");
        QCOMPARE(m_desktop.windowGeometry(m_main).width(), 600);
        QList<e2e::DisplayRun> lines;
        QTRY_COMPARE_WITH_TIMEOUT((lines = e2e::displayLines(shot(QStringLiteral("start")))).size(), 2,
                                  kWait);
        m_clientTop = lines[0].top - kDisplayTop;
        QVERIFY2(m_clientTop >= 0 && m_clientTop < 60, qPrintable(QString::number(m_clientTop)));
    }

    // Connects the test host and waits until the program shows "Conectado":
    // before that its keys would go nowhere.
    void connectHost(quint16 port)
    {
        m_host = std::make_unique<QTcpSocket>();
        QElapsedTimer clock;
        clock.start();
        do {
            m_host->abort();
            m_host->connectToHost(QHostAddress::LocalHost, port);
        } while (!m_host->waitForConnected(1000) && clock.elapsed() < kWait);
        QCOMPARE(m_host->state(), QAbstractSocket::ConnectedState);
        QTRY_VERIFY_WITH_TIMEOUT(e2e::displayLineHasText(shot(QStringLiteral("connected")), 1), kWait);
    }

    // The next `count` bytes that reach the host, or fewer when the wait runs out.
    QByteArray hostReceives(qsizetype count)
    {
        QElapsedTimer clock;
        clock.start();
        while (m_received.size() < count && clock.elapsed() < kWait) {
            m_host->waitForReadyRead(100);
            m_received += m_host->readAll();
        }
        const QByteArray next = m_received.left(count);
        m_received.remove(0, next.size());
        return next;
    }

    // Types every stroke of the table and returns what the host should have
    // received for `protocol` (0 VT100, 1 Zorvane).
    QByteArray typeStrokes(int protocol)
    {
        QStringList names;
        QByteArray expected;
        for (const Stroke &stroke : kStrokes) {
            names.append(QString::fromLatin1(stroke.key));
            expected += protocol == 0 ? stroke.vt100 : stroke.zorvane;
        }
        m_desktop.keys(names);
        return expected;
    }

    // The four LEDs, Led0 first, named by the nearest colour they are drawn in.
    QString ledColours(const QImage &window) const
    {
        static const std::array<std::pair<QRgb, const char *>, 5> names{{
            {qRgb(0xFF, 0, 0), "red"},
            {qRgb(0, 0xFF, 0), "lime"},
            {qRgb(0, 0, 0xFF), "blue"},
            {qRgb(0xFF, 0xFF, 0), "yellow"},
            {qRgb(0xFF, 0, 0xFF), "fuchsia"},
        }};
        QStringList shown;
        for (int led = 0; led < 4; ++led) {
            const QPoint at = inWindow(ledCentre(led));
            if (!window.valid(at))
                return QStringLiteral("no picture");
            const QRgb pixel = window.pixel(at);
            QString name = QColor(pixel).name();
            for (const auto &[colour, colourName] : names)
                if (e2e::colourDistance(pixel, colour) < 60)
                    name = QString::fromLatin1(colourName);
            shown.append(name);
        }
        return shown.join(QLatin1Char(' '));
    }

    QImage clientArea(const QImage &window, const QRect &area) const
    {
        return window.copy(area.translated(0, m_clientTop));
    }

    // The picture of the two display lines, to see that the host wrote to them.
    QImage displayPicture(const QString &name) const
    {
        return clientArea(shot(name), QRect(20, kDisplayTop, 400, 50));
    }

    // Clicks an on-screen key (row and column of the keyboard, from 0) and
    // waits for the host's answer on the display.
    void clickKey(int row, int column, const QString &name)
    {
        const QImage before = displayPicture(name + QStringLiteral("-before"));
        m_desktop.click(m_main, inWindow(QPoint(4 + 4 + column * 38 + 18, 282 + 4 + row * 38 + 18)));
        QTRY_VERIFY_WITH_TIMEOUT(displayPicture(name) != before, kWait);
    }

    // The last item of the "Arquivo" menu, chosen with the pointer and the keyboard.
    void lastArquivoItem()
    {
        m_desktop.click(m_main, QPoint(25, m_clientTop / 2));
        QTest::qWait(300); // the menu must be open before the keys reach it
        m_desktop.keys({QStringLiteral("Up"), QStringLiteral("Return")});
    }

private slots:
    void initTestCase()
    {
        m_binary = qEnvironmentVariable("EMULATOR_BINARY");
        if (m_binary.isEmpty() || !QFile::exists(m_binary))
            QSKIP("EMULATOR_BINARY does not name the built program");
        const QStringList missing = e2e::DesktopSession::missingTools();
        if (!missing.isEmpty())
            QSKIP(qPrintable(missing.join(QLatin1String(", ")) + QStringLiteral(" not installed")));
        QVERIFY(m_desktop.start());
        m_shots = QCoreApplication::applicationDirPath() + QStringLiteral("/e2e-screenshots");
        QDir().mkpath(m_shots);
    }

    void init()
    {
        m_folder = std::make_unique<QTemporaryDir>();
        QVERIFY(m_folder->isValid());
        m_received.clear();
    }

    void cleanup()
    {
        m_host.reset();
        if (m_emulator && m_emulator->state() != QProcess::NotRunning) {
            m_emulator->kill();
            m_emulator->waitForFinished(kWait);
        }
        m_emulator.reset();
        m_folder.reset();
    }

    void cleanupTestCase() { m_desktop.stop(); }

    // VT100: the PC keyboard reaches the host in lower case with ESC for
    // Escape and Delete; once the host has switched function keys on, the
    // point key is a prefix and point, 1 sends ESC O P; a click on "Input 1"
    // reports "@" and the state "2"; "Código de Barras" sends the first code
    // of the list and CR. After each click the keyboard still types into the
    // terminal. "Carrega Arquivo" plays the script of "Digitacoes.ini" and a
    // second click stops it; started again, it begins with the first input.
    void vt100KeysInputAndBarcode()
    {
        const quint16 port = freePort();
        writeFile(QStringLiteral("Codigo.txt"), "7891234567895\r\n42\r\n");
        // One pass, then a loop pause longer than the test.
        writeFile(QStringLiteral("Digitacoes.ini"),
                  "[Parametros]\r\nTempo_entre_caracteres=5\r\nTempo_entre_campos=5\r\n"
                  "Tempo_de_Loop=600000\r\nNumero_de_Inputs=2\r\n"
                  "[Inputs]\r\n0=\"12<ok>\"\r\n1=<b>789\r\n");
        startServer(0, port);
        if (QTest::currentTestFailed())
            return;
        connectHost(port);
        if (QTest::currentTestFailed())
            return;

        m_desktop.click(m_main, inWindow(kDisplayLine1));
        const QByteArray typed = typeStrokes(0);
        QCOMPARE(hostReceives(typed.size()), typed);

        // The text comes in the same delivery as the switch, so once it is on
        // the screen the switch has been made.
        m_host->write(QByteArray("\x1b\x1b\xc0") + "F1");
        QTRY_VERIFY_WITH_TIMEOUT(e2e::displayLineHasText(shot(QStringLiteral("function-keys")), 0), kWait);
        // A key sent as a string lets other keys in between its characters and
        // disarms the prefix only after them, so each step waits for its bytes.
        m_desktop.keys({QStringLiteral("period"), QStringLiteral("1")});
        QCOMPARE(hostReceives(3), QByteArray("\x1bOP"));
        m_desktop.keys({QStringLiteral("period"), QStringLiteral("j")});
        QCOMPARE(hostReceives(1), QByteArray("\n"));
        m_desktop.keys({QStringLiteral("2")});
        QCOMPARE(hostReceives(1), QByteArray("2"));

        m_desktop.click(m_main, inWindow(kInput1));
        QCOMPARE(hostReceives(2), QByteArray("@2"));
        m_desktop.keys({QStringLiteral("b")});
        QCOMPARE(hostReceives(1), QByteArray("b"));

        m_desktop.click(m_main, inWindow(kCodigoDeBarras));
        QCOMPARE(hostReceives(14), QByteArray("7891234567895\r"));
        m_desktop.keys({QStringLiteral("c")});
        QCOMPARE(hostReceives(1), QByteArray("c"));

        m_desktop.click(m_main, inWindow(kCarregaArquivo));
        QCOMPARE(hostReceives(6), QByteArray("12\r789"));
        shot(QStringLiteral("playing"));
        m_desktop.click(m_main, inWindow(kCarregaArquivo));
        m_desktop.click(m_main, inWindow(kCarregaArquivo));
        QCOMPARE(hostReceives(6), QByteArray("12\r789"));
        m_desktop.click(m_main, inWindow(kCarregaArquivo));
        shot(QStringLiteral("done"));
    }

    // Zorvane: the LEDs start fuchsia, yellow, blue, lime; the same keys give
    // upper case and DEL for Escape and Delete; the host's "G" 0x05 lights
    // LEDs 0 and 2 and paints 1 and 3 in their unlit colours; with "Balança"
    // ticked an ENQ sent to the serial interface is answered, after the
    // "ready" reply, with the first reading of the scale's list.
    void zorvaneKeysLedsAndScale()
    {
        const quint16 port = freePort();
        writeFile(QStringLiteral("Balanca.txt"), "<2>00150<3>\r\n<2>00275<3>\r\n");
        startServer(1, port);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(ledColours(shot(QStringLiteral("start"))), QStringLiteral("fuchsia yellow blue lime"));
        connectHost(port);
        if (QTest::currentTestFailed())
            return;

        m_desktop.click(m_main, inWindow(kDisplayLine1));
        const QByteArray typed = typeStrokes(1);
        QCOMPARE(hostReceives(typed.size()), typed);

        m_host->write("\x02G\x05\x03");
        QTRY_COMPARE_WITH_TIMEOUT(ledColours(shot(QStringLiteral("leds"))),
                                  QStringLiteral("red blue red fuchsia"), kWait);

        // The reading list shows up when the scale is on; until then an ENQ
        // from the host could overtake the click.
        const QImage before = clientArea(shot(QStringLiteral("scale-off")), kScaleReadings);
        m_desktop.click(m_main, inWindow(kBalanca));
        QTRY_VERIFY_WITH_TIMEOUT(clientArea(shot(QStringLiteral("scale-on")), kScaleReadings) != before,
                                 kWait);
        m_host->write("\x02S\x05\x03");
        const QByteArray ready("\x02\x1b\x01S\x03");
        QCOMPARE(hostReceives(12), ready + '\x02' + "00150" + '\x03');
        shot(QStringLiteral("done"));
    }

    // The control interface with the windows: an input ticked through it ticks
    // its box on screen and reports to the host like a click; "Busy" too.
    void controlActionsShowInTheWindow()
    {
        const quint16 port = freePort();
        const QString socketPath = m_folder->filePath(QStringLiteral("control.sock"));
        startServer(0, port, {QStringLiteral("--control"), QStringLiteral("unix:") + socketPath});
        if (QTest::currentTestFailed())
            return;
        QTRY_VERIFY_WITH_TIMEOUT(m_emulator->canReadLine(), kWait);
        const QJsonObject ready = QJsonDocument::fromJson(m_emulator->readLine()).object();
        QCOMPARE(ready.value(QStringLiteral("ready")).toObject().value(QStringLiteral("control")).toString(),
                 QStringLiteral("unix:") + socketPath);
        connectHost(port);
        if (QTest::currentTestFailed())
            return;

        QLocalSocket control;
        control.connectToServer(socketPath);
        QVERIFY(control.waitForConnected(kWait));
        const auto request = [&control](const QByteArray &line) {
            control.write(line + '\n');
            QByteArray reply;
            while (!reply.contains("\"id\"") && control.waitForReadyRead(kWait))
                while (control.canReadLine() && !reply.contains("\"id\""))
                    reply = control.readLine();
            return reply;
        };
        const QImage before = shot(QStringLiteral("control-before"));
        QVERIFY(request(R"({"id":1,"cmd":"input","n":1,"on":true})").contains("\"ok\""));
        QCOMPARE(hostReceives(2), QByteArray("@2"));
        QVERIFY(request(R"({"id":2,"cmd":"busy","on":true})").contains("\"ok\""));
        QTRY_VERIFY_WITH_TIMEOUT(clientArea(shot(QStringLiteral("control-ticked")), kInput1Box) !=
                                         clientArea(before, kInput1Box) &&
                                     clientArea(shot(QStringLiteral("control-ticked")), kBusyBox) !=
                                         clientArea(before, kBusyBox),
                                 kWait);
        QVERIFY(request(R"({"id":3,"cmd":"input","n":1,"on":false})").contains("\"ok\""));
        QCOMPARE(hostReceives(2), QByteArray("@0"));
        QTRY_VERIFY_WITH_TIMEOUT(clientArea(shot(QStringLiteral("control-unticked")), kInput1Box) ==
                                     clientArea(before, kInput1Box),
                                 kWait);
    }

    // A conversation recorded at the window: "Gravar Conversa..." asks for a
    // file, the operator clicks keys of the sample host's menu, "Parar
    // Gravação" closes the file; replayed without windows, it passes.
    void recordingAtTheWindowReplays()
    {
        // The host comes up after the window, which finds its display lines while they are empty.
        const quint16 port = freePort();
        startServer(1, port, {}, 1);
        if (QTest::currentTestFailed())
            return;
        const QImage empty = displayPicture(QStringLiteral("empty"));
        QProcess host;
        host.start(QStringLiteral("/usr/bin/python3"),
                   {qEnvironmentVariable("EMULATOR_SOURCE_DIR") + QStringLiteral("/samples/shopfloor_host.py"),
                    QStringLiteral("--port"), QString::number(port)});
        QVERIFY(host.waitForStarted(kWait));
        QTRY_VERIFY_WITH_TIMEOUT(displayPicture(QStringLiteral("menu")) != empty, kWait);

        const QString file = m_folder->filePath(QStringLiteral("janela.jsonl"));
        lastArquivoItem();
        QVERIFY(!m_desktop.waitForWindow(QStringLiteral("Gravar Conversa")).isEmpty());
        m_desktop.keys({QStringLiteral("ctrl+a")});
        m_desktop.type(file);
        m_desktop.keys({QStringLiteral("Return")});
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(file), kWait);

        clickKey(0, 0, QStringLiteral("key-1"));  // "1": the code prompt
        clickKey(0, 6, QStringLiteral("key-7"));  // "7", echoed
        clickKey(2, 10, QStringLiteral("enter")); // Enter: the code shown
        clickKey(0, 4, QStringLiteral("key-5"));  // "5": the LEDs
        lastArquivoItem();                        // now "Parar Gravação"
        QFile recorded(file);
        QTRY_VERIFY_WITH_TIMEOUT(recorded.open(QIODevice::ReadOnly) && recorded.readAll().count('\n') == 10 &&
                                     (recorded.close(), true),
                                 kWait);
        QVERIFY(recorded.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = recorded.readAll().split('\n');
        QCOMPARE(lines.at(2), QByteArray(R"({"do":"key","key":"1"})"));
        QCOMPARE(lines.at(6), QByteArray(R"({"do":"key","key":"Enter"})"));
        QVERIFY(lines.at(9).startsWith(R"({"expect":{"display":["LEDs acesos: 0","Tecla: 5"])"));

        // A second recording, ended by SIGTERM: the file still gets what the
        // terminal showed at the end. The window's session ends with it, so
        // that the host takes the replay's.
        const QString ended = m_folder->filePath(QStringLiteral("sinal.jsonl"));
        lastArquivoItem();
        QVERIFY(!m_desktop.waitForWindow(QStringLiteral("Gravar Conversa")).isEmpty());
        m_desktop.keys({QStringLiteral("ctrl+a")});
        m_desktop.type(ended);
        m_desktop.keys({QStringLiteral("Return")});
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(ended), kWait);
        clickKey(0, 3, QStringLiteral("key-4")); // "4": the status
        m_emulator->terminate();
        QVERIFY(m_emulator->waitForFinished(kWait));
        QCOMPARE(m_emulator->exitStatus(), QProcess::NormalExit);
        QFile signalled(ended);
        QVERIFY(signalled.open(QIODevice::ReadOnly));
        const QList<QByteArray> endedLines = signalled.readAll().trimmed().split('\n');
        QCOMPARE(endedLines.at(endedLines.size() - 2), QByteArray(R"({"do":"key","key":"4"})"));
        QVERIFY(endedLines.last().startsWith(R"({"expect":{"display":)"));
        QProcess replay;
        replay.start(m_binary, {QStringLiteral("--replay"), file, QStringLiteral("--folder"), m_folder->path()});
        QVERIFY(replay.waitForFinished(60000));
        QVERIFY2(replay.exitCode() == 0, replay.readAllStandardError().constData());
        QVERIFY(replay.readAllStandardOutput().startsWith("PASS "));
        host.kill();
        host.waitForFinished(kWait);
    }
};

QTEST_GUILESS_MAIN(TestOperatorEndToEnd)
#include "tst_operator_e2e.moc"
