#include "support/engine_fakes.h"

#include <QSignalSpy>
#include <QTest>

class TestOutputs : public QObject {
    Q_OBJECT
private slots:
    void shownForm_data()
    {
        QTest::addColumn<char>("byte");
        QTest::addColumn<QByteArray>("shown");
        QTest::newRow("letter") << 'A' << QByteArray("A");
        QTest::newRow("space") << ' ' << QByteArray(" ");
        QTest::newRow("DEL") << '\x7f' << QByteArray("\x7f");
        QTest::newRow("0x80") << '\x80' << QByteArray("(128)");
        QTest::newRow("0xFF") << '\xff' << QByteArray("(255)");
        QTest::newRow("CR") << '\r' << QByteArray("(13)");
        QTest::newRow("NUL") << '\0' << QByteArray("(0)");
        QTest::newRow("0x1F") << '\x1f' << QByteArray("(31)");
    }
    void shownForm()
    {
        QFETCH(char, byte);
        QTEST(Outputs::shownForm(byte), "shown");
        // Printer lines are assembled from their own table; both must agree.
        TerminalState state;
        Outputs out(state);
        out.ParallelOut(byte);
        QTEST(out.ParallelLine(), "shown");
        QTEST(out.lastParallel(), "shown");
    }

    void parallelLines()
    {
        TerminalState state;
        Outputs out(state);
        for (char b : QByteArray("AB\r\n"))
            out.ParallelOut(b);
        QCOMPARE(out.parallelLog(), (std::deque<QByteArray>{"AB(13)(10)"}));
        QCOMPARE(out.lastParallel(), QByteArray("(10)"));
        out.ParallelOut('C');
        out.ParallelOut('D');
        QCOMPARE(out.parallelLog().size(), size_t(1));
        QCOMPARE(out.ParallelLine(), QByteArray("CD"));

        // A reset empties the logs; the partial line is completed by the next LF.
        out.clearLogs();
        QVERIFY(out.parallelLog().empty());
        out.ParallelOut('\n');
        QCOMPARE(out.parallelLog(), (std::deque<QByteArray>{"CD(10)"}));
        QCOMPARE(out.parallelLinesAdded(), quint64(2));

        out.ParallelOut('E');
        out.resetForNewWindow();
        QVERIFY(out.ParallelLine().isEmpty());
    }

    void serialLinesAndEnq()
    {
        TerminalState state;
        Outputs out(state);
        out.SerialOut('\x05'); // no scale attached yet
        CountingScale scale;
        out.setEnqResponder(&scale);
        for (char b : QByteArray("OK\x05\x7f\x80"))
            out.SerialOut(b);
        QCOMPARE(out.serialLog(), (std::deque<QByteArray>{"(5)", "O", "K", "(5)", "\x7f", "(128)"}));
        QCOMPARE(out.lastSerial(), QByteArray("(128)"));
        QCOMPARE(scale.answers, 1);
    }

    void comRelayFailureIsNotAnError()
    {
        TerminalState state;
        Outputs out(state);
        out.ComRelay("x");
        RecordingPort port;
        port.open = false;
        out.setComPort(&port);
        out.SerialOutAndRelay('a');
        QVERIFY(port.writes.isEmpty());
        state.serialRelayEnabled = true;
        out.SerialOutAndRelay('b');
        QCOMPARE(port.writes, QList<QByteArray>{"b"});
        QCOMPARE(out.serialLog().size(), size_t(2));
    }

    void ledColours_data()
    {
        QTest::addColumn<bool>("relayed");
        QTest::addColumn<int>("mask");
        QTest::addColumn<QList<quint32>>("colours");
        QTest::newRow("before the first command") << false << 0 << QList<quint32>{0xFF00FF, 0xFFFF00, 0x0000FF, 0x00FF00};
        QTest::newRow("0x0F") << true << 0x0F << QList<quint32>{0xFF0000, 0xFF0000, 0xFF0000, 0xFF0000};
        QTest::newRow("0x00") << true << 0x00 << QList<quint32>{0x00FF00, 0x0000FF, 0xFFFF00, 0xFF00FF};
        QTest::newRow("0x15 as 0x05") << true << 0x15 << QList<quint32>{0xFF0000, 0x0000FF, 0xFF0000, 0xFF00FF};
        QTest::newRow("0xF0 as 0x00") << true << 0xF0 << QList<quint32>{0x00FF00, 0x0000FF, 0xFFFF00, 0xFF00FF};
    }
    void ledColours()
    {
        QFETCH(bool, relayed);
        QFETCH(int, mask);
        TerminalState state;
        Outputs out(state);
        QSignalSpy leds(&out, &Outputs::ledsChanged);
        if (relayed)
            out.RelayOut(static_cast<unsigned char>(mask));
        QCOMPARE(leds.count(), relayed ? 1 : 0);
        QList<quint32> colours;
        for (int i = 0; i < 4; ++i)
            colours.append(out.ledColor(i));
        QTEST(colours, "colours");
    }

    void logsStayBounded()
    {
        TerminalState state;
        Outputs out(state);
        for (int i = 0; i < Outputs::kMaxLogLines + 5; ++i) {
            out.SerialOut(static_cast<char>('0' + i % 10));
            out.ParallelOut('\n');
        }
        QCOMPARE(out.serialLog().size(), size_t(Outputs::kMaxLogLines));
        QCOMPARE(out.serialLog().front(), QByteArray("5"));
        QCOMPARE(out.parallelLog().size(), size_t(Outputs::kMaxLogLines));
        QCOMPARE(out.serialLinesAdded(), quint64(Outputs::kMaxLogLines + 5));

        // A printer line without any line feed is broken instead of growing.
        out.clearLogs();
        for (int i = 0; i < 3 * Outputs::kMaxLineLength; ++i)
            out.ParallelOut('\x01');
        QVERIFY(!out.parallelLog().empty());
        for (const QByteArray &line : out.parallelLog())
            QVERIFY(line.size() <= Outputs::kMaxLineLength + 4);
        QVERIFY(out.ParallelLine().size() <= Outputs::kMaxLineLength);
    }

    // A delivery's bytes repaint the window once, and an ENQ shows before the scale answers.
    void signalsAreBatched()
    {
        TerminalState state;
        Outputs out(state);
        QSignalSpy parallel(&out, &Outputs::parallelChanged);
        QSignalSpy serial(&out, &Outputs::serialChanged);
        struct SeesItsLine : EnqResponder {
            QSignalSpy *spy = nullptr;
            int seen = -1;
            void answerEnq() override { seen = int(spy->count()); }
        } scale;
        scale.spy = &serial;
        out.setEnqResponder(&scale);
        {
            Outputs::SignalBatch batch(out);
            Outputs::SignalBatch nested(out);
            for (int i = 0; i < 100; ++i)
                out.ParallelOut('A');
            out.SerialOut('\x05');
            out.SerialOut('B');
            QCOMPARE(parallel.count(), 1);
        }
        QCOMPARE(scale.seen, 1);
        QCOMPARE(parallel.count(), 1);
        QCOMPARE(serial.count(), 2);
        out.ParallelOut('A');
        QCOMPARE(parallel.count(), 2);
    }
};

QTEST_GUILESS_MAIN(TestOutputs)
#include "tst_outputs.moc"
