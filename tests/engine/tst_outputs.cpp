#include "support/engine_fakes.h"

#include <QSignalSpy>
#include <QTest>

class TestOutputs : public QObject {
    Q_OBJECT
private slots:
    void shownForm_data()
    {
        QTest::addColumn<char>("byte");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("letter") << 'A' << QByteArray("A");
        QTest::newRow("space") << ' ' << QByteArray(" ");
        QTest::newRow("DEL") << '\x7f' << QByteArray("\x7f");
        QTest::newRow("0x80") << '\x80' << QByteArray("(128)");
        QTest::newRow("0xFF") << '\xff' << QByteArray("(255)");
        QTest::newRow("CR") << '\r' << QByteArray("(13)");
        QTest::newRow("NUL") << '\0' << QByteArray("(0)");
    }
    void shownForm()
    {
        QFETCH(char, byte);
        TerminalState state;
        Outputs out(state);
        out.ParallelOut(byte);
        out.SerialOut(byte);
        // Printer lines are assembled from a table of their own; all must agree.
        QTEST(Outputs::shownForm(byte), "expected");
        QTEST(out.ParallelLine(), "expected");
        QTEST(out.lastParallel(), "expected");
        QTEST(out.serialLog().back(), "expected");
    }

    void logs()
    {
        TerminalState state;
        Outputs out(state);
        CountingScale scale;
        out.setEnqResponder(&scale);
        for (char b : QByteArray("AB\r\nCD"))
            out.ParallelOut(b);
        for (char b : QByteArray("OK\x05"))
            out.SerialOut(b);
        QCOMPARE(out.parallelLog(), std::deque<QByteArray>{"AB(13)(10)"});
        QCOMPARE(out.lastParallel(), QByteArray("D"));
        QCOMPARE(out.serialLog(), (std::deque<QByteArray>{"O", "K", "(5)"}));
        QCOMPARE(scale.answers, 1);

        // A reset empties the logs; the partial printer line is completed by the next LF.
        out.clearLogs();
        QVERIFY(out.parallelLog().empty() && out.serialLog().empty());
        out.ParallelOut('\n');
        QCOMPARE(out.parallelLog(), std::deque<QByteArray>{"CD(10)"});
        QCOMPARE(out.lastParallel(), QByteArray("(10)"));
        out.ParallelOut('E');
        out.resetForNewWindow();
        QVERIFY(out.ParallelLine().isEmpty());
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
        for (int i = 0; i < 3 * Outputs::kMaxLineLength; ++i)
            out.ParallelOut('\x01');
        QVERIFY(out.parallelLinesAdded() > quint64(Outputs::kMaxLogLines + 5));
        QVERIFY(out.parallelLog().back().size() <= Outputs::kMaxLineLength + 4);
        QVERIFY(out.ParallelLine().size() < Outputs::kMaxLineLength);
    }

    void ledColours_data()
    {
        QTest::addColumn<int>("mask");
        QTest::addColumn<QList<quint32>>("colours");
        QTest::newRow("before any command") << -1 << QList<quint32>{0xFF00FF, 0xFFFF00, 0x0000FF, 0x00FF00};
        QTest::newRow("0x0F") << 0x0F << QList<quint32>{0xFF0000, 0xFF0000, 0xFF0000, 0xFF0000};
        QTest::newRow("0x00") << 0x00 << QList<quint32>{0x00FF00, 0x0000FF, 0xFFFF00, 0xFF00FF};
        QTest::newRow("0x15 as 0x05") << 0x15 << QList<quint32>{0xFF0000, 0x0000FF, 0xFF0000, 0xFF00FF};
    }
    void ledColours()
    {
        QFETCH(int, mask);
        TerminalState state;
        Outputs out(state);
        if (mask >= 0)
            out.RelayOut(static_cast<unsigned char>(mask));
        QList<quint32> colours;
        for (int i = 0; i < 4; ++i)
            colours.append(out.ledColor(i));
        QTEST(colours, "colours");
    }

    // A delivery repaints the window once, and an ENQ shows before the scale answers.
    void signalsAreBatched()
    {
        TerminalState state;
        Outputs out(state);
        QSignalSpy parallel(&out, &Outputs::parallelChanged);
        QSignalSpy serial(&out, &Outputs::serialChanged);
        QSignalSpy leds(&out, &Outputs::ledsChanged);
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
            out.RelayOut(1);
            out.SerialOut('\x05');
            out.SerialOut('B');
            out.RelayOut(2);
        }
        QCOMPARE(scale.seen, 1);
        QCOMPARE(parallel.count() + serial.count() + leds.count(), 5);
        out.ParallelOut('A');
        QCOMPARE(parallel.count(), 2);
    }
};

QTEST_GUILESS_MAIN(TestOutputs)
#include "tst_outputs.moc"
