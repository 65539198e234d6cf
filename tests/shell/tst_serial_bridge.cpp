#include "engine/terminal_state.h"
#include "shell/serial_bridge.h"

#include "common/recorders.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

void writeConfig(const QString &path, const QByteArray &serialLines)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[Config]\r\nPorta=1001\r\n[Serial]\r\n" + serialLines);
}

// A pseudo-terminal pair: the bridge opens "COM5" in the folder, the test
// plays the device on "peer".
class PtyPair {
public:
    explicit PtyPair(const QString &folder)
        : m_com(folder + QStringLiteral("/COM5")), m_peerPath(folder + QStringLiteral("/peer"))
    {
        m_socat.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_socat.start(QStringLiteral("socat"),
                      {QStringLiteral("pty,raw,echo=0,link=") + m_com,
                       QStringLiteral("pty,raw,echo=0,link=") + m_peerPath});
    }
    ~PtyPair() { kill(); }

    bool waitReady()
    {
        if (!m_socat.waitForStarted(5000))
            return false;
        QElapsedTimer timer;
        timer.start();
        while (!(QFileInfo::exists(m_com) && QFileInfo::exists(m_peerPath))) {
            if (timer.elapsed() > 5000 || m_socat.state() != QProcess::Running)
                return false;
            QTest::qWait(20);
        }
        peer.setPortName(m_peerPath);
        return peer.open(QIODevice::ReadWrite);
    }

    QByteArray readPeer(qsizetype count)
    {
        QByteArray got;
        QElapsedTimer timer;
        timer.start();
        while (got.size() < count && timer.elapsed() < 5000) {
            if (peer.bytesAvailable() == 0)
                peer.waitForReadyRead(100);
            got += peer.readAll();
        }
        return got;
    }

    void kill()
    {
        peer.close();
        if (m_socat.state() != QProcess::NotRunning) {
            m_socat.kill();
            m_socat.waitForFinished(5000);
        }
    }

    QSerialPort peer;

private:
    QString m_com;
    QString m_peerPath;
    QProcess m_socat;
};

} // namespace

class TestSerialBridge : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<QTemporaryDir> m_dir;
    TerminalState m_state;
    RecordingPrompts m_prompts;
    QByteArray m_keys;
    std::unique_ptr<SerialBridge> m_bridge;

    QString configPath() const { return m_dir->filePath(QStringLiteral("Config.ini")); }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_state = TerminalState();
        m_prompts = RecordingPrompts();
        m_keys.clear();
        m_bridge = std::make_unique<SerialBridge>(m_state, m_prompts, configPath(),
                                                  [this](char c) { m_keys.append(c); });
    }
    void cleanup()
    {
        m_bridge.reset();
        m_dir.reset();
    }

    void deviceNames()
    {
        QFile link(m_dir->filePath(QStringLiteral("COM12")));
        QVERIFY(link.open(QIODevice::WriteOnly));
        QCOMPARE(m_bridge->deviceNameFor("12"), m_dir->filePath(QStringLiteral("COM12")));
        QCOMPARE(m_bridge->deviceNameFor("5"), QStringLiteral("/dev/ttyS4"));
        // Not a port number: a name in the folder that does not exist, so opening fails.
        QCOMPARE(m_bridge->deviceNameFor("ab"), m_dir->filePath(QStringLiteral("COMab")));
        QCOMPARE(m_bridge->deviceNameFor("0"), m_dir->filePath(QStringLiteral("COM0")));
    }

    void missingConfigDoesNothing()
    {
        QSignalSpy changes(m_bridge.get(), &SerialBridge::relayEnabledChanged);
        m_bridge->ckHabilitaSerialClick();
        QVERIFY(m_state.serialRelayEnabled);
        QVERIFY(!m_bridge->isOpen());
        QVERIFY(m_prompts.messages.isEmpty());
        QCOMPARE(changes.size(), 1);
        QVERIFY(!m_bridge->writeToPort("x"));
    }

    void missingDeviceShowsMessageAndClearsMark()
    {
        writeConfig(configPath(), "Porta=ab\r\n");
        QSignalSpy changes(m_bridge.get(), &SerialBridge::relayEnabledChanged);
        m_bridge->ckHabilitaSerialClick();
        QVERIFY(!m_state.serialRelayEnabled);
        QVERIFY(!m_bridge->isOpen());
        QCOMPARE(changes.last().at(0).toBool(), false);
        QCOMPARE(m_prompts.messages.size(), 1);
        QCOMPARE(m_prompts.messages[0].caption, QStringLiteral("Erro de configuração"));
        QCOMPARE(m_prompts.messages[0].icon, Prompts::Icon::Error);
        QCOMPARE(m_prompts.messages[0].text,
                 QStringLiteral("Erro ao abrir a porta ") + m_dir->filePath(QStringLiteral("COMab"))
                     + QStringLiteral(". Verifique se ela existe ou se não está sendo\rutilizada por outro aplicativo."));
    }

    void bytesFlowBothWays()
    {
        PtyPair pty(m_dir->path());
        QVERIFY(pty.waitReady());
        writeConfig(configPath(), "Porta=5\r\n");
        m_bridge->ckHabilitaSerialClick();
        QVERIFY(m_prompts.messages.isEmpty());
        QVERIFY(m_bridge->isOpen());
        QCOMPARE(m_bridge->port().flowControl(), QSerialPort::NoFlowControl);

        const QByteArray toDevice("AB\x00\xff\r", 5);
        for (const char c : toDevice)
            QVERIFY(m_bridge->writeToPort(QByteArray(1, c)));
        QCOMPARE(pty.readPeer(toDevice.size()), toDevice);

        QByteArray fromDevice;
        for (int i = 0; i < 300; ++i)
            fromDevice.append(static_cast<char>(i));
        QCOMPARE(pty.peer.write(fromDevice), fromDevice.size());
        QVERIFY(pty.peer.waitForBytesWritten(2000));
        QTRY_COMPARE(m_keys, fromDevice);

        // Switching the mark off stops only the relay; the port keeps receiving.
        m_bridge->ckHabilitaSerialClick();
        QVERIFY(!m_state.serialRelayEnabled);
        QVERIFY(m_bridge->isOpen());
        pty.peer.write("z");
        QTRY_COMPARE(m_keys.right(1), QByteArray("z"));
    }

    void reopensWithSettingsStoredAtThatMoment_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<int>("baud");
        QTest::addColumn<QSerialPort::Parity>("parity");
        QTest::addColumn<QSerialPort::StopBits>("stopBits");
        QTest::addColumn<QSerialPort::DataBits>("dataBits");
        QTest::newRow("missing keys") << QByteArray() << 9600 << QSerialPort::NoParity
                                      << QSerialPort::OneStop << QSerialPort::Data8;
        QTest::newRow("even") << QByteArray("Paridade=1\r\n") << 9600 << QSerialPort::EvenParity
                              << QSerialPort::OneStop << QSerialPort::Data8;
        QTest::newRow("five is odd") << QByteArray("Paridade=5\r\n") << 9600 << QSerialPort::OddParity
                                     << QSerialPort::OneStop << QSerialPort::Data8;
        QTest::newRow("other values") << QByteArray("Baud_Rate=19200\r\nParidade=-1\r\nNBits=4\r\nStop_Bit=9\r\n")
                                      << 19200 << QSerialPort::OddParity << QSerialPort::TwoStop
                                      << QSerialPort::Data7;
    }
    void reopensWithSettingsStoredAtThatMoment()
    {
        QFETCH(QByteArray, stored);
        QFETCH(int, baud);
        QFETCH(QSerialPort::Parity, parity);
        QFETCH(QSerialPort::StopBits, stopBits);
        QFETCH(QSerialPort::DataBits, dataBits);

        PtyPair pty(m_dir->path());
        QVERIFY(pty.waitReady());
        writeConfig(configPath(), "Porta=5\r\nBaud_Rate=4800\r\nParidade=0\r\n");
        m_bridge->ckHabilitaSerialClick();
        QVERIFY(m_bridge->isOpen());
        QCOMPARE(m_bridge->port().baudRate(), 4800);

        // New settings change nothing until the mark is switched off and on.
        writeConfig(configPath(), "Porta=5\r\n" + stored);
        QCOMPARE(m_bridge->port().baudRate(), 4800);
        m_bridge->ckHabilitaSerialClick();
        QCOMPARE(m_bridge->port().baudRate(), 4800);
        QVERIFY(m_bridge->isOpen());
        m_bridge->ckHabilitaSerialClick();
        QVERIFY(m_prompts.messages.isEmpty());
        QVERIFY(m_bridge->isOpen());
        QCOMPARE(m_bridge->port().baudRate(), baud);
        QCOMPARE(m_bridge->port().parity(), parity);
        QCOMPARE(m_bridge->port().stopBits(), stopBits);
        QCOMPARE(m_bridge->port().dataBits(), dataBits);
    }

    void vanishedDeviceClosesThePortWithoutSpinning()
    {
        PtyPair pty(m_dir->path());
        QVERIFY(pty.waitReady());
        writeConfig(configPath(), "Porta=5\r\n");
        m_bridge->ckHabilitaSerialClick();
        QVERIFY(m_bridge->isOpen());
        QSignalSpy errors(&m_bridge->port(), &QSerialPort::errorOccurred);
        QSignalSpy changes(m_bridge.get(), &SerialBridge::relayEnabledChanged);

        pty.kill();
        QTRY_VERIFY_WITH_TIMEOUT(!m_bridge->isOpen(), 10000);
        QVERIFY(!m_state.serialRelayEnabled);
        QCOMPARE(changes.size(), 1);
        QCOMPARE(changes[0].at(0).toBool(), false);
        QVERIFY2(errors.size() <= SerialBridge::kReadErrorLimit, qPrintable(QString::number(errors.size())));

        // The event loop keeps serving timers and no further errors arrive.
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
        timer.start(1);
        QTRY_VERIFY(ticks >= 20);
        QVERIFY(errors.size() <= SerialBridge::kReadErrorLimit);
        QVERIFY(!m_bridge->writeToPort("x"));
    }
};

QTEST_GUILESS_MAIN(TestSerialBridge)
#include "tst_serial_bridge.moc"
