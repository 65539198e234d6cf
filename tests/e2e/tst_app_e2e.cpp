#include <QColor>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// The real program under a private X server, driven the way a user drives it:
// windows found by their captions, clicks and keys sent with xdotool, the
// screen read back with ImageMagick's import, a test host on loopback. A
// screenshot of every window is kept in the build folder.
class TestEmulatorEndToEnd : public QObject {
    Q_OBJECT

    static constexpr int kWait = 15000;
    const QString kMainCaption =
        QStringLiteral("DRUMEL TECH - Emulador de Comunicação TCP/IP - Versão 2.0.0.16");

    QProcess m_xvfb;
    QString m_display;
    QString m_binary;
    QString m_shots;
    std::unique_ptr<QProcess> m_emulator;

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DISPLAY"), m_display);
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        return env;
    }

    QString tool(const QString &program, const QStringList &arguments)
    {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(program, arguments);
        if (!process.waitForFinished(kWait))
            return QString();
        return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    }

    // The id of the visible window whose caption is exactly `caption`, or "" when none is.
    QString visibleWindow(const QString &caption)
    {
        const QStringList ids = tool(QStringLiteral("xdotool"),
                                     {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                      QStringLiteral("--name"), QStringLiteral(".")})
                                    .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString &id : ids) {
            if (tool(QStringLiteral("xdotool"), {QStringLiteral("getwindowname"), id}) == caption)
                return id;
        }
        return QString();
    }

    QString waitForWindow(const QString &caption)
    {
        QString id;
        QElapsedTimer clock;
        clock.start();
        while ((id = visibleWindow(caption)).isEmpty() && clock.elapsed() < kWait)
            QTest::qWait(50);
        if (id.isEmpty()) // leave what was on the screen instead
            tool(QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"),
                                            m_shots + QStringLiteral("/missing-window.png")});
        return id;
    }

    QSize windowSize(const QString &id)
    {
        const QString shape = tool(QStringLiteral("xdotool"),
                                   {QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), id});
        QSize size;
        for (const QString &line : shape.split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1String("WIDTH=")))
                size.setWidth(line.mid(6).toInt());
            if (line.startsWith(QLatin1String("HEIGHT=")))
                size.setHeight(line.mid(7).toInt());
        }
        return size;
    }

    void click(const QString &id, int x, int y)
    {
        tool(QStringLiteral("xdotool"),
             {QStringLiteral("mousemove"), QStringLiteral("--window"), id, QString::number(x),
              QString::number(y), QStringLiteral("click"), QStringLiteral("1")});
    }

    void keys(const QStringList &names)
    {
        tool(QStringLiteral("xdotool"), QStringList{QStringLiteral("key")} + names);
    }

    QImage screenshot(const QString &id, const QString &name)
    {
        const QString path = m_shots + QLatin1Char('/') + name + QStringLiteral(".png");
        tool(QStringLiteral("import"), {QStringLiteral("-window"), id, path});
        return QImage(path);
    }

    static int colourDistance(QRgb a, QRgb b)
    {
        return qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) + qAbs(qBlue(a) - qBlue(b));
    }

    // The two display fields, found without knowing their colours: down the
    // column at x = 100 of the main window they are the two tall runs of one
    // colour, equal in height and a few pixels apart. Returns their rows and colour.
    struct Field {
        int top;
        int bottom;
        QRgb colour;
    };
    static QList<Field> displayFields(const QImage &window)
    {
        QList<Field> runs;
        int start = 0;
        for (int y = 1; y <= window.height(); ++y) {
            if (y < window.height() && window.pixel(100, y) == window.pixel(100, start))
                continue;
            if (y - start >= 12)
                runs.append({start, y - 1, window.pixel(100, start)});
            start = y;
        }
        for (int i = 0; i + 1 < runs.size(); ++i) {
            const Field &a = runs[i];
            const Field &b = runs[i + 1];
            if (a.colour == b.colour && qAbs((a.bottom - a.top) - (b.bottom - b.top)) <= 2
                && b.top - a.bottom <= 8)
                return {a, b};
        }
        return {};
    }

    // Whether a display line (0 or 1) shows any text.
    static bool lineHasText(const QImage &window, int line)
    {
        const QList<Field> fields = displayFields(window);
        if (fields.size() < 2)
            return false;
        const Field &field = fields[line];
        for (int y = field.top; y <= field.bottom; ++y)
            for (int x = 20; x < 400 && x < window.width(); ++x)
                if (colourDistance(window.pixel(x, y), field.colour) > 200)
                    return true;
        return false;
    }

    void startEmulator(const QString &folder)
    {
        m_emulator = std::make_unique<QProcess>();
        m_emulator->setProcessEnvironment(environment());
        m_emulator->setWorkingDirectory(folder);
        m_emulator->setProcessChannelMode(QProcess::ForwardedChannels);
        m_emulator->start(m_binary, {});
        QVERIFY(m_emulator->waitForStarted(kWait));
    }

    static quint16 freePort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        return probe.serverPort();
    }

    static void writeFile(const QString &path, const QByteArray &text)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(text), text.size());
    }

private slots:
    void initTestCase()
    {
        m_binary = qEnvironmentVariable("EMULATOR_BINARY");
        if (m_binary.isEmpty() || !QFile::exists(m_binary))
            QSKIP("EMULATOR_BINARY does not name the built program");
        for (const char *needed : {"Xvfb", "xdotool", "import"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(needed)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(QLatin1String(needed))));

        // Xvfb picks a free display and writes its number to the descriptor given.
        // Without -noreset it restarts whenever its last client leaves, and a
        // program connecting at that moment is turned away.
        m_xvfb.start(QStringLiteral("Xvfb"),
                     {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                      QStringLiteral("0"), QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"),
                      QStringLiteral("tcp"), QStringLiteral("-noreset")});
        QVERIFY(m_xvfb.waitForStarted(kWait));
        QTRY_VERIFY_WITH_TIMEOUT(m_xvfb.canReadLine(), kWait);
        m_display = QLatin1Char(':') + QString::fromLatin1(m_xvfb.readLine()).trimmed();

        m_shots = QCoreApplication::applicationDirPath() + QStringLiteral("/e2e-screenshots");
        QDir().mkpath(m_shots);
    }

    void cleanup()
    {
        if (m_emulator && m_emulator->state() != QProcess::NotRunning) {
            m_emulator->kill();
            m_emulator->waitForFinished(kWait);
        }
        m_emulator.reset();
    }

    void cleanupTestCase()
    {
        if (m_xvfb.state() != QProcess::NotRunning) {
            m_xvfb.terminate();
            if (!m_xvfb.waitForFinished(kWait))
                m_xvfb.kill();
        }
    }

    // Stored automatic start in the Server role with Zorvane: the program goes
    // straight to the main window, a host connects and sees its "P" command
    // answered, and "Sair" ends the program.
    void automaticStartAsServer()
    {
        QTemporaryDir folder;
        const quint16 port = freePort();
        writeFile(folder.filePath(QStringLiteral("Config.ini")),
                  "[Config]\r\nPorta=" + QByteArray::number(port)
                      + "\r\nEndereco=127.0.0.1\r\nProtocolo=1\r\nConexao=0\r\nInicializacao=1\r\n");
        startEmulator(folder.path());

        const QString main = waitForWindow(kMainCaption);
        QVERIFY2(!main.isEmpty(), "the main window did not come up");
        QVERIFY(visibleWindow(QStringLiteral("Equipamento")).isEmpty());
        const QImage waiting = screenshot(main, QStringLiteral("main-waiting"));
        QCOMPARE(displayFields(waiting).size(), 2);
        QVERIFY(!lineHasText(waiting, 1));

        QTcpSocket host;
        QElapsedTimer clock;
        clock.start();
        do {
            host.abort();
            host.connectToHost(QHostAddress::LocalHost, port);
        } while (!host.waitForConnected(1000) && clock.elapsed() < kWait);
        QCOMPARE(host.state(), QAbstractSocket::ConnectedState);

        QTRY_VERIFY_WITH_TIMEOUT(lineHasText(screenshot(main, QStringLiteral("main-connected")), 1), kWait);

        host.write("\x02Px\x03");
        QByteArray answer;
        QTRY_VERIFY_WITH_TIMEOUT((answer += host.readAll()).size() >= 5, kWait);
        QCOMPARE(answer, QByteArray("\x02\x1b\x01P\x03"));

        const QSize size = windowSize(main);
        click(main, size.width() - 43, size.height() - 65); // "Sair", bottom right
        QVERIFY(m_emulator->waitForFinished(kWait));
        QCOMPARE(m_emulator->exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_emulator->exitCode(), 0);
    }

    // A first run in an empty folder, clicked through as a user would: the
    // chooser, the settings window, the client dialog with the host's port
    // typed in, OK, the connection, the serial settings, and the way out.
    void firstRunClickedThroughAsClient()
    {
        QTemporaryDir folder;
        QTcpServer hostServer;
        QVERIFY(hostServer.listen(QHostAddress::LocalHost, 0));
        startEmulator(folder.path());

        QString splash;
        QElapsedTimer clock;
        clock.start();
        while ((splash = visibleWindow(QStringLiteral("Splash"))).isEmpty() && clock.elapsed() < 2000)
            QTest::qWait(10);
        if (!splash.isEmpty())
            screenshot(splash, QStringLiteral("splash"));

        const QString chooser = waitForWindow(QStringLiteral("Equipamento"));
        QVERIFY2(!chooser.isEmpty(), "the chooser did not come up");
        QCOMPARE(windowSize(chooser), QSize(274, 260));
        screenshot(chooser, QStringLiteral("chooser"));
        QVERIFY(QFile::exists(folder.filePath(QStringLiteral("Config.ini"))));

        click(chooser, 135, 75); // "Terminal TCP-IP"
        const QString settings = waitForWindow(QStringLiteral("TCP/IP"));
        QVERIFY2(!settings.isEmpty(), "the settings window did not come up");
        screenshot(settings, QStringLiteral("settings"));

        click(settings, 62, 75); // "Server": the port prompt, cancelled
        const QString prompt = waitForWindow(QStringLiteral("Digite o endereço da porta remota:"));
        QVERIFY2(!prompt.isEmpty(), "the port prompt did not come up");
        screenshot(prompt, QStringLiteral("port-prompt"));
        keys({QStringLiteral("Escape")});
        QTRY_VERIFY_WITH_TIMEOUT(visibleWindow(QStringLiteral("Digite o endereço da porta remota:")).isEmpty(), kWait);

        click(settings, 162, 75); // "Client"
        const QString dialog = waitForWindow(QStringLiteral("TCP/IP - Client"));
        QVERIFY2(!dialog.isEmpty(), "the client dialog did not come up");
        screenshot(dialog, QStringLiteral("client"));
        click(dialog, 185, 60); // "Digite a Porta:"
        keys({QStringLiteral("ctrl+a")});
        tool(QStringLiteral("xdotool"), {QStringLiteral("type"), QStringLiteral("--delay"),
                                         QStringLiteral("20"), QString::number(hostServer.serverPort())});
        keys({QStringLiteral("Return")});
        QTRY_VERIFY_WITH_TIMEOUT(visibleWindow(QStringLiteral("TCP/IP - Client")).isEmpty(), kWait);
        screenshot(settings, QStringLiteral("settings-after-client"));

        click(settings, 240, 277); // "OK"
        const QString main = waitForWindow(kMainCaption);
        QVERIFY2(!main.isEmpty(), "the main window did not come up");
        QTRY_VERIFY_WITH_TIMEOUT(hostServer.hasPendingConnections(), kWait);
        std::unique_ptr<QTcpSocket> host(hostServer.nextPendingConnection());
        QTRY_VERIFY_WITH_TIMEOUT(lineHasText(screenshot(main, QStringLiteral("main-client")), 1), kWait);
        host->write("Bem-vindo");
        QTRY_VERIFY_WITH_TIMEOUT(lineHasText(screenshot(main, QStringLiteral("main-host-text")), 0), kWait);

        click(main, 115, 10);  // menu "Interface Serial"
        QTest::qWait(300);     // the menu has to be up before its item is clicked
        click(main, 133, 51);  // "Configuração"
        const QString serial = waitForWindow(QStringLiteral("Interface Serial do PC"));
        QVERIFY2(!serial.isEmpty(), "the serial settings did not come up");
        QCOMPARE(windowSize(serial), QSize(301, 246));
        screenshot(serial, QStringLiteral("serial"));
        click(serial, 255, 223); // "Cancelar"
        QTRY_VERIFY_WITH_TIMEOUT(visibleWindow(QStringLiteral("Interface Serial do PC")).isEmpty(), kWait);

        const QSize size = windowSize(main);
        click(main, size.width() - 43, size.height() - 65); // "Sair"
        QTRY_VERIFY_WITH_TIMEOUT(!visibleWindow(QStringLiteral("Equipamento")).isEmpty(), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(host->state(), QAbstractSocket::UnconnectedState, kWait);
        QVERIFY(m_emulator->state() == QProcess::Running);

        click(chooser, 136, 225); // the chooser's exit button
        QVERIFY(m_emulator->waitForFinished(kWait));
        QCOMPARE(m_emulator->exitCode(), 0);

        QFile config(folder.filePath(QStringLiteral("Config.ini")));
        QVERIFY(config.open(QIODevice::ReadOnly));
        const QByteArray stored = config.readAll();
        QVERIFY(stored.contains("Porta=" + QByteArray::number(hostServer.serverPort())));
        QVERIFY(stored.contains("Conexao=1"));
        QVERIFY(stored.contains("Protocolo=0"));
    }
};

QTEST_GUILESS_MAIN(TestEmulatorEndToEnd)
#include "tst_app_e2e.moc"
