#include "support/desktop_session.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// The sample host application (samples/shopfloor_host.py) against the real
// program, as `make demo` runs them: the demo folder's files, the emulator
// started on its own as a Client, the host listening on loopback. The test is
// the operator: it works through the whole menu with the PC keyboard and the
// main window's controls, and follows the session in the host's log, where
// every reading, reply and report the host got back is written.
class TestSampleHost : public QObject
{
    Q_OBJECT

    static constexpr int kWait = 15000;
    const QString kMainCaption =
        QStringLiteral("DRUMEL TECH - Emulador de Comunicação TCP/IP - Versão 2.0.0.16");

    // Places in the main window's client area, below the menu bar.
    static constexpr int kDisplayTop = 218;
    static constexpr QPoint kDisplayLine1{216, 229};
    static constexpr QPoint kInput1{559, 63};
    static constexpr QPoint kBalanca{233, 35};
    static constexpr QPoint kCodigoDeBarras{305, 476};
    static constexpr QPoint kLed0{570, 238};

    e2e::DesktopSession m_desktop{kWait};
    QString m_binary;
    QString m_source;
    std::unique_ptr<QTemporaryDir> m_folder;
    std::unique_ptr<QProcess> m_host;
    std::unique_ptr<QProcess> m_emulator;
    QString m_main;
    int m_clientTop = 0;
    QStringList m_log;

    QPoint inWindow(QPoint client) const { return client + QPoint(0, m_clientTop); }

    QImage shot(const QString &name) const
    {
        return m_desktop.screenshot(m_main, m_folder->filePath(name + QStringLiteral(".png")));
    }

    // The next line of the host's log, or "" when none came in time.
    QString nextLogLine()
    {
        QElapsedTimer clock;
        clock.start();
        while (!m_host->canReadLine() && clock.elapsed() < kWait
               && m_host->state() == QProcess::Running)
            m_host->waitForReadyRead(100);
        const QString line = QString::fromUtf8(m_host->readLine()).trimmed();
        m_log.append(line);
        return line;
    }

    static quint16 freePort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        return probe.serverPort();
    }

    void click(QPoint client) { m_desktop.click(m_main, inWindow(client)); }
    void key(const QString &name) { m_desktop.keys({name}); }

    void copyDemoFile(const QString &name, const QByteArray &content)
    {
        QFile file(m_folder->filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(content), content.size());
    }

    static QByteArray demoFile(const QString &source, const QString &name)
    {
        QFile file(source + QStringLiteral("/samples/demo/") + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void initTestCase()
    {
        m_binary = qEnvironmentVariable("EMULATOR_BINARY");
        m_source = qEnvironmentVariable("EMULATOR_SOURCE_DIR");
        if (m_binary.isEmpty() || !QFile::exists(m_binary))
            QSKIP("EMULATOR_BINARY does not name the built program");
        QStringList missing = e2e::DesktopSession::missingTools();
        if (QStandardPaths::findExecutable(QStringLiteral("python3")).isEmpty())
            missing.append(QStringLiteral("python3"));
        if (!missing.isEmpty())
            QSKIP(qPrintable(missing.join(QLatin1String(", ")) + QStringLiteral(" not installed")));
        QVERIFY(m_desktop.start());
    }

    void cleanup()
    {
        for (auto *process : {m_emulator.get(), m_host.get()}) {
            if (process && process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(kWait);
            }
        }
        if (QTest::currentTestFailed())
            qWarning("host log:\n%s", qPrintable(m_log.join(QLatin1Char('\n'))));
        m_log.clear();
        m_emulator.reset();
        m_host.reset();
        m_folder.reset();
    }

    void cleanupTestCase() { m_desktop.stop(); }

    void wholeMenu_data()
    {
        QTest::addColumn<QString>("protocol");
        QTest::addColumn<QString>("status");
        QTest::newRow("Zorvane") << "zorvane" << "status printer ready serial ready";
        QTest::newRow("VT100") << "vt100" << "status not available in vt100";
    }

    void wholeMenu()
    {
        QFETCH(QString, protocol);
        QFETCH(QString, status);
        m_folder = std::make_unique<QTemporaryDir>();
        QVERIFY(m_folder->isValid());

        // The demo folder as `make demo` prepares it, on a free port.
        const quint16 port = freePort();
        QByteArray config = demoFile(m_source, QStringLiteral("Config.ini"));
        QVERIFY(config.contains("\nPorta=5001\r") && config.contains("\nProtocolo=1\r")
                && config.contains("\nInicializacao=1\r") && config.contains("\nConexao=1\r"));
        config.replace("\nPorta=5001\r", "\nPorta=" + QByteArray::number(port) + '\r');
        if (protocol == QLatin1String("vt100"))
            config.replace("\nProtocolo=1\r", "\nProtocolo=0\r");
        copyDemoFile(QStringLiteral("Config.ini"), config);
        copyDemoFile(QStringLiteral("Codigo.txt"), demoFile(m_source, QStringLiteral("Codigo.txt")));
        copyDemoFile(QStringLiteral("Balanca.txt"), demoFile(m_source, QStringLiteral("Balanca.txt")));

        // The emulator first: until the host listens it retries quietly, and
        // its blank display shows where the window's client area begins.
        m_emulator = std::make_unique<QProcess>();
        m_emulator->setProcessEnvironment(m_desktop.environment());
        m_emulator->setWorkingDirectory(m_folder->path());
        m_emulator->setProcessChannelMode(QProcess::ForwardedChannels);
        m_emulator->start(m_binary, {});
        QVERIFY(m_emulator->waitForStarted(kWait));
        m_main = m_desktop.waitForWindow(kMainCaption);
        QVERIFY2(!m_main.isEmpty(), "the main window did not come up");
        QList<e2e::DisplayRun> lines;
        QTRY_COMPARE_WITH_TIMEOUT((lines = e2e::displayLines(shot(QStringLiteral("start")))).size(), 2, kWait);
        m_clientTop = lines[0].top - kDisplayTop;

        m_host = std::make_unique<QProcess>();
        m_host->setProcessChannelMode(QProcess::SeparateChannels);
        m_host->start(QStringLiteral("python3"),
                      {m_source + QStringLiteral("/samples/shopfloor_host.py"), QStringLiteral("--port"),
                       QString::number(port), QStringLiteral("--protocol"), protocol, QStringLiteral("--once")});
        QVERIFY(m_host->waitForStarted(kWait));
        QCOMPARE(nextLogLine(), QStringLiteral("listening on 127.0.0.1:%1 (%2)").arg(port).arg(protocol));
        QVERIFY(nextLogLine().startsWith(QLatin1String("terminal connected from 127.0.0.1:")));
        // The menu on the display is the host's first work.
        const e2e::DisplayRun line1 = lines[0];
        const auto textOnLine1 = [&](const QImage &window) {
            for (int y = line1.top; y <= line1.bottom; ++y)
                for (int x = 20; x < 400 && x < window.width(); ++x)
                    if (e2e::colourDistance(window.pixel(x, y), line1.colour) > 200)
                        return true;
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(textOnLine1(shot(QStringLiteral("menu"))), kWait);

        // 1: a barcode from the reader.
        click(kDisplayLine1);
        key(QStringLiteral("1"));
        QCOMPARE(nextLogLine(), QStringLiteral("key '1'"));
        click(kCodigoDeBarras);
        QCOMPARE(nextLogLine(), QStringLiteral("code 7891234567895"));

        // 2: the scale switched on, then weighed: the first reading of the demo's list.
        click(kBalanca);
        click(kDisplayLine1);
        key(QStringLiteral("2"));
        QCOMPARE(nextLogLine(), QStringLiteral("key '2'"));
        QCOMPARE(nextLogLine(), QStringLiteral("weight 0,750 kg"));

        // 3, 4, 5: the ticket, the status, the first LED pattern.
        key(QStringLiteral("3"));
        QCOMPARE(nextLogLine(), QStringLiteral("key '3'"));
        QCOMPARE(nextLogLine(), QStringLiteral("ticket printed 4 lines"));
        key(QStringLiteral("4"));
        QCOMPARE(nextLogLine(), QStringLiteral("key '4'"));
        QCOMPARE(nextLogLine(), status);
        key(QStringLiteral("5"));
        QCOMPARE(nextLogLine(), QStringLiteral("key '5'"));
        QCOMPARE(nextLogLine(), QStringLiteral("leds 0"));
        QTRY_VERIFY_WITH_TIMEOUT(
            e2e::colourDistance(shot(QStringLiteral("leds")).pixel(inWindow(kLed0)), qRgb(0xFF, 0, 0)) < 60,
            kWait);

        // An input switched on, and a code typed on the keys instead of read.
        click(kInput1);
        QCOMPARE(nextLogLine(), QStringLiteral("inputs 1"));
        click(kDisplayLine1);
        key(QStringLiteral("1"));
        QCOMPARE(nextLogLine(), QStringLiteral("key '1'"));
        m_desktop.keys({QStringLiteral("4"), QStringLiteral("2"), QStringLiteral("Return")});
        QCOMPARE(nextLogLine(), QStringLiteral("code 42"));

        // 0 ends the session; with --once the host then ends too.
        key(QStringLiteral("0"));
        QCOMPARE(nextLogLine(), QStringLiteral("key '0'"));
        QCOMPARE(nextLogLine(), QStringLiteral("bye"));
        QVERIFY(m_host->waitForFinished(kWait));
        QCOMPARE(m_host->exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_host->exitCode(), 0);
        shot(QStringLiteral("end"));
    }
};

QTEST_GUILESS_MAIN(TestSampleHost)
#include "tst_sample_host.moc"
