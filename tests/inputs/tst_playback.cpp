#include "common/recorders.h"
#include "inputs/playback.h"
#include "support/loopback_host.h"
#include "shell/ini_store.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

// One emulator with a script in its own folder and a host on loopback.
struct Rig {
    QTemporaryDir dir;
    TerminalState state;
    LoopbackHost host;
    RecordingPrompts prompts;
    OperationStack operations{prompts};
    Keyboard keyboard{state, host, operations};
    Playback playback{state, keyboard, prompts,
                      [this] { return std::make_unique<IniStore>(dir.filePath("Digitacoes.ini")); }};

    Rig() { state.barcodeCharDelay = 1; }

    void writeScript(const QByteArray &parameters, const QByteArray &inputs)
    {
        QFile file(dir.filePath("Digitacoes.ini"));
        if (file.open(QIODevice::WriteOnly))
            file.write("[Parametros]\r\n" + parameters + "\r\n[Inputs]\r\n" + inputs + "\r\n");
    }

    QByteArray sentFrom(qsizetype first) const
    {
        QByteArray out;
        for (qsizetype i = first; i < host.sends.size(); ++i)
            out += host.sends.at(i).bytes;
        return out;
    }
};

} // namespace

class TestPlayback : public QObject {
    Q_OBJECT

private slots:
    // Characters and fields in order over two passes; the empty input in the
    // middle costs one more field interval before the next input starts.
    void twoPassesInOrder()
    {
        Rig rig;
        QVERIFY(rig.host.isConnected());
        rig.writeScript("Tempo_entre_caracteres=3\r\nTempo_entre_campos=40\r\ntempo_de_loop=\"5\"\r\n"
                        "Numero_de_Inputs=3",
                        "0=12\r\n2 = 3 ");
        QSignalSpy captions(&rig.playback, &Playback::captionChanged);
        rig.playback.BtCarregaClick();
        QCOMPARE(rig.playback.mode(), Playback::Mode::Playing);
        QCOMPARE(rig.playback.caption(), QStringLiteral("Descarrega Arquivo"));
        QCOMPARE(rig.playback.ScriptSource(), (QList<QByteArray>{"12", "", "3"}));

        QTRY_VERIFY(rig.host.received.size() >= 6);
        QVERIFY(rig.host.received.startsWith("123123"));
        const qint64 gap = rig.host.sends.at(2).atMs - rig.host.sends.at(1).atMs;
        QVERIFY2(gap >= 80, qPrintable(QString::number(gap)));

        rig.playback.BtCarregaClick();
        QCOMPARE(rig.playback.mode(), Playback::Mode::Idle);
        QVERIFY(!rig.playback.timerActive());
        QCOMPARE(captions.count(), 2);
        QCOMPARE(captions.last().at(0).toString(), QStringLiteral("Carrega Arquivo"));
        QVERIFY(rig.prompts.messages.isEmpty());
    }

    // End marker: the last four characters from "<" become CR. Burst marker:
    // once "<" comes to the front, the rest after three characters goes out in
    // the same tick; a leading and a trailing marker give the middle part and CR.
    void markers()
    {
        Rig rig;
        rig.writeScript("Tempo_entre_caracteres=2\r\nTempo_entre_campos=2\r\nTempo_de_Loop=100000\r\n"
                        "Numero_de_Inputs=4",
                        "0=ab<xyz\r\n1=<abc\r\n2=x<01rest\r\n3=<ab12<xyz");
        QByteArray leftWhenBurstBegan = "unset";
        rig.host.onSend = [&](const QByteArray &bytes) {
            if (bytes == "r")
                leftWhenBurstBegan = rig.playback.ScriptInputs().at(2);
        };
        rig.playback.BtCarregaClick();
        QTRY_COMPARE(rig.host.received, QByteArray("ab\r\rxrest12\r"));
        QCOMPARE(rig.host.sends.size(), 12);
        QCOMPARE(leftWhenBurstBegan, QByteArray());
    }

    // A click handled while a burst is going out stops playback for good: the
    // tick that sent the burst does not switch the timer back on.
    void stopDuringBurst()
    {
        Rig rig;
        rig.state.barcodeCharDelay = 5;
        rig.writeScript("Tempo_entre_caracteres=2\r\nNumero_de_Inputs=1", "0=<01abc");
        QTimer stopper;
        stopper.setSingleShot(true);
        connect(&stopper, &QTimer::timeout, &rig.playback, &Playback::BtCarregaClick);
        rig.host.onSend = [&](const QByteArray &bytes) {
            if (bytes == "a")
                stopper.start(0);
        };
        rig.playback.BtCarregaClick();
        QTRY_COMPARE(rig.host.received, QByteArray("abc"));
        QCOMPARE(rig.playback.mode(), Playback::Mode::Idle);
        QVERIFY(!rig.playback.timerActive());
    }

    void singleInput()
    {
        Rig rig;
        rig.writeScript("Tempo_entre_caracteres=2\r\nTempo_entre_campos=100000\r\nTempo_de_Loop=3\r\n"
                        "Numero_de_Inputs=1",
                        "0=12\r\n1=never");
        rig.playback.BtCarregaClick();
        QTRY_VERIFY(rig.host.received.size() >= 6);
        QVERIFY(rig.host.received.startsWith("121212"));
    }

    void stopAndRestartFromInputZero()
    {
        Rig rig;
        rig.writeScript("Tempo_entre_caracteres=5\r\nNumero_de_Inputs=2", "0=abcdef\r\n1=ghi");
        rig.playback.BtCarregaClick();
        QTRY_VERIFY(rig.host.sends.size() >= 3);
        rig.playback.BtCarregaClick();
        QVERIFY(!rig.playback.timerActive());
        const qsizetype stoppedAt = rig.host.sends.size();
        QVERIFY(rig.playback.ScriptInputs().at(0).size() < 6);

        rig.playback.BtCarregaClick();
        QCOMPARE(rig.playback.ScriptPos(), 0);
        QCOMPARE(rig.playback.ScriptInputs().at(0), QByteArray("abcdef"));
        QTRY_VERIFY(rig.host.sends.size() >= stoppedAt + 6);
        QVERIFY(rig.sentFrom(stoppedAt).startsWith("abcdef"));
    }

    // A time that is not a number halts playback after the error report; a click returns to idle.
    void badTimeHalts()
    {
        Rig rig;
        rig.writeScript("Tempo_entre_caracteres=2\r\nTempo_entre_campos=2s\r\nNumero_de_Inputs=2", "0=a");
        rig.playback.BtCarregaClick();
        QTRY_COMPARE(rig.playback.mode(), Playback::Mode::Halted);
        QCOMPARE(rig.host.received, QByteArray("a"));
        QCOMPARE(rig.prompts.texts(), QStringList{"'2s' is not a valid integer value."});
        QCOMPARE(rig.prompts.messages.first().icon, Prompts::Icon::Error);
        QCOMPARE(rig.playback.caption(), QStringLiteral("Descarrega Arquivo"));
        QVERIFY(!rig.playback.timerActive());
        rig.playback.BtCarregaClick();
        QCOMPARE(rig.playback.mode(), Playback::Mode::Idle);

        // A time of 0 gives no further ticks: playback stands still while playing.
        rig.writeScript("Tempo_entre_caracteres=0", "0=a");
        rig.playback.BtCarregaClick();
        QCOMPARE(rig.playback.mode(), Playback::Mode::Playing);
        QVERIFY(!rig.playback.timerActive());
    }

    void refusedStarts_data()
    {
        QTest::addColumn<QByteArray>("parameters");
        QTest::addColumn<QString>("message"); // empty: the file is missing, nothing is shown
        QTest::newRow("no script") << QByteArray() << QString();
        QTest::newRow("no inputs") << QByteArray("Numero_de_Inputs=0") << QString("entre 1 e 10000, e não 0.");
        QTest::newRow("negative") << QByteArray("Numero_de_Inputs=-3") << QString("entre 1 e 10000, e não -3.");
        QTest::newRow("too many") << QByteArray("Numero_de_Inputs=10001") << QString("entre 1 e 10000, e não 10001.");
        QTest::newRow("count not a number") << QByteArray("Numero_de_Inputs=four")
                                            << QString("'four' is not a valid integer value.");
        QTest::newRow("char time not a number") << QByteArray("Tempo_entre_caracteres=0.4")
                                                << QString("'0.4' is not a valid integer value.");
    }

    void refusedStarts()
    {
        QFETCH(QByteArray, parameters);
        QFETCH(QString, message);
        Rig rig;
        if (!message.isEmpty())
            rig.writeScript(parameters, "0=a");
        QSignalSpy captions(&rig.playback, &Playback::captionChanged);
        rig.playback.BtCarregaClick();
        QCOMPARE(rig.playback.mode(), Playback::Mode::Idle);
        QVERIFY(!rig.playback.timerActive());
        QCOMPARE(captions.count(), 0);
        if (message.isEmpty()) {
            QVERIFY(rig.prompts.messages.isEmpty());
        } else {
            QCOMPARE(rig.prompts.messages.size(), 1);
            QVERIFY2(rig.prompts.messages.first().text.endsWith(message),
                     qPrintable(rig.prompts.messages.first().text));
        }
    }
};

QTEST_GUILESS_MAIN(TestPlayback)
#include "tst_playback.moc"
