#include "engine/errors.h"

#include "support/engine_fakes.h"

#include <QTest>

using Bytes = QByteArray;

class TestHostInterpreter : public QObject {
    Q_OBJECT
private slots:
    void vt100_data()
    {
        QTest::addColumn<Bytes>("bytes");
        QTest::addColumn<Bytes>("expected");
        QTest::newRow("CR and LF") << Bytes("AB\rC\nD") << Bytes("CB| D@2,3");
        QTest::newRow("LF from row 3 to line 1") << Bytes("\x1b[03;01H\nX") << Bytes("X|@1,2");
        QTest::newRow("ESC [ 2 J is text") << Bytes("\x1b[2J") << Bytes("2J|@1,3");
        QTest::newRow("ESC [ J clears") << Bytes("AB\nCD\x1b[J") << Bytes("|@1,1");
        QTest::newRow("one-digit column is text") << Bytes("\x1b[1;5H") << Bytes("1;5H|@1,5");
        QTest::newRow("1;05") << Bytes("\x1b[1;05HZ") << Bytes("    Z|@1,6");
        QTest::newRow("12;05 is line 2") << Bytes("\x1b[12;05HZ") << Bytes("|    Z@12,6");
        QTest::newRow("02;10 without [") << Bytes("\x1b" "02;10f") << Bytes("|@2,10");
        QTest::newRow("ESC [ D D is one step") << Bytes("ABC\x1b[DD") << Bytes("AB|@1,3");
        QTest::newRow("ESC n D is one step") << Bytes("ABC\x1bnDX") << Bytes("ABX|@1,4");
        QTest::newRow("A keeps the column") << Bytes("A\nB\x1b[AC") << Bytes("A C| B@1,4");
        QTest::newRow("C steps forward") << Bytes("\x1b[C\x1b" "CX") << Bytes("  X|@1,4");
        QTest::newRow("K erases the line") << Bytes("AB\nCD\x1b[KE") << Bytes("AB|E@2,2");
        QTest::newRow("home then a cursor form") << Bytes("AB\x1b[m02;03HX") << Bytes("AB|  X@2,4");
        QTest::newRow("unknown selector is text") << Bytes("\x1b[Q") << Bytes("Q|@1,2");
        QTest::newRow("cut ESC [") << Bytes("AB\x1b[") << Bytes("AB|@1,3");
        QTest::newRow("cut cursor form is text") << Bytes("\x1b[1;0") << Bytes("1;0|@1,4");
        QTest::newRow("digit run is text") << Bytes("\x1b[") + Bytes(30, '9') + "H" << Bytes(30, '9') + "H|@1,32";
        QTest::newRow("99;99") << Bytes("\x1b[99;99HZ") << Bytes("Z|@1,2");
        QTest::newRow("00;00") << Bytes("\x1b[00;00HZ") << Bytes("|Z@0,2");
        QTest::newRow("-5;-5") << Bytes("\x1b[-5;-5HZ") << Bytes("|Z@-5,2");
        QTest::newRow("BS from 99") << Bytes("AB\x1b[1;99H\x1b[DX") << Bytes("AB") + Bytes(37, ' ') + "X|@1,41";
    }
    void vt100()
    {
        QFETCH(Bytes, bytes);
        Terminal t;
        t.feed(bytes);
        QTEST(screen(t.display), "expected");
    }

    void vt100Modes()
    {
        Terminal t;
        t.display.showStatusText(2, "Conectado");
        t.feed("\x1b[H\x1b\x1b\xC0");
        QCOMPARE(shown(t.display), Bytes("|Conectado"));
        QVERIFY(t.state.functionKeyMode);
        t.feed("\x1b\x1b" "A");
        QVERIFY(t.state.functionKeyMode);
        t.feed("ABC\x1b[K\x1b[\x1b\x80");
        QVERIFY(!t.state.functionKeyMode);
        QCOMPARE(shown(t.display) + screen(t.display), Bytes("ABC||@1,1"));

        t.feed("\x1b" "5iAB\r\n");
        QVERIFY(t.interpreter.PrinterControllerOn());
        t.feed("\x1b[4iX\x1b[?25l");
        QCOMPARE(screen(t.display), Bytes("X|@1,2"));
        QVERIFY(t.outputs.ParallelLine().isEmpty() && t.outputs.serialLog().empty());
        QCOMPARE(t.interpreter.PrintDestination(), 'l');
        t.feed("\x1b[H5iAB\r\n\x1b[4iZ\x1b[?01wxyzQ\x1b[?0");
        QCOMPARE(t.outputs.parallelLog(), std::deque<Bytes>{"AB(13)(10)"});
        QCOMPARE(screen(t.display), Bytes("ZQ|@1,3"));
        QCOMPARE(t.interpreter.PrintDestination(), 'l');

        t.state.serialRelayEnabled = true;
        t.port.open = false; // a failed relay loses only its own byte
        t.feed("\x1b[?01r\x1b[5iA\x05\x1b[?01c\x1b[5i\x05\x1b[?01x\x1b[5iDROP\x1b[4iC");
        QCOMPARE(t.outputs.serialLog(), (std::deque<Bytes>{"A", "(5)"}));
        QCOMPARE(t.port.writes, (QList<Bytes>{"A", "\x05"}));
        QCOMPARE(t.scale.answers, 1);
        QCOMPARE(t.outputs.ledColor(0), 0xFF0000u);
        QCOMPARE(t.outputs.ledColor(1), 0x0000FFu);
        QCOMPARE(screen(t.display), Bytes("ZQC|@1,4"));
    }

    void conversionErrorStopsTheDelivery_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<Bytes>("bytes");
        QTest::addColumn<Bytes>("offending");
        QTest::addColumn<Bytes>("expected");
        QTest::newRow("vt100 row") << TerminalState::kVt100 << Bytes("AB\x1b[x1;05HCD") << Bytes("x1") << Bytes("AB|@1,3");
        QTest::newRow("telnet column") << TerminalState::kTelnet << Bytes("AB\x1b[2;0xHCD") << Bytes("0x") << Bytes("AB|@2,3");
        QTest::newRow("zorvane column") << TerminalState::kZorvane << Bytes("\x02" "DAB\x03\x02" "C1x5\x03\x02" "DCD")
                                        << Bytes("x5") << Bytes("AB|@2,3");
        QTest::newRow("zorvane cut short") << TerminalState::kZorvane << Bytes("\x02" "DAB\x03\x02" "C1") << Bytes()
                                           << Bytes("AB|@2,3");
    }
    void conversionErrorStopsTheDelivery()
    {
        QFETCH(int, protocol);
        QFETCH(Bytes, bytes);
        Terminal t(protocol);
        try {
            t.feed(bytes);
            QFAIL("no error");
        } catch (const ConversionError &error) {
            QTEST(error.offendingText(), "offending");
        }
        QTEST(screen(t.display), "expected");
        QCOMPARE(shown(t.display), Bytes("AB|"));
    }

    void zorvane_data()
    {
        QTest::addColumn<bool>("comutadora");
        QTest::addColumn<Bytes>("bytes");
        QTest::addColumn<Bytes>("expected");
        QTest::newRow("CR shown as Cr") << false << Bytes("\x02" "DAB\rC\x03") << Bytes("ABCrC|@1,6");
        QTest::newRow("BS steps back") << false << Bytes("\x02" "DA\bB\x03") << Bytes("B|@1,2");
        QTest::newRow("C is zero-based") << false << Bytes("\x02" "C105\x03\x02" "DX\x03") << Bytes("|     X@2,7");
        QTest::newRow("C 999 wraps") << false << Bytes("\x02" "C999\x03\x02" "DX\x03") << Bytes("X|@1,2");
        QTest::newRow("O on DLE only") << false << Bytes("\x02" "DABC\x03\x02O\x10\x03\x02O\x11\x03\x02" "DZ") << Bytes("ABZ|@1,4");
        QTest::newRow("O below column 1") << false << Bytes("\x02O\x10\x03\x02O\x10\x03\x02" "DZ\x03") << Bytes("Z|@1,2");
        QTest::newRow("text ends at STX") << false << Bytes("\x02" "DAB\x02L\x03\x02" "DC") << Bytes("C|@1,2");
        QTest::newRow("unknown letter") << false << Bytes("\x02" "DA\x03\x02X\x02" "DB\x03") << Bytes("A|@1,2");
        QTest::newRow("stray bytes, cut STX") << false << Bytes("z\x03\x02" "DA\x03y\x02") << Bytes("A|@1,2");
        QTest::newRow("comutadora C and D") << true << Bytes("\x02" "C00105\x03\x02" "D00X\x03") << Bytes("|     X@2,7");
        QTest::newRow("comutadora L") << true << Bytes("\x02" "D00AB\x03\x02L00\x03\x02" "D00C\x03") << Bytes("C|@1,2");
        // A frame followed at once by a "D" frame whose STX it may swallow.
        QTest::newRow("C takes 4") << false << Bytes("\x02" "C000\x02" "DZ\x03") << Bytes("Z|@1,2");
        QTest::newRow("C 00 takes 7") << true << Bytes("\x02" "C00000\x02" "D00Z\x03") << Bytes("|@1,1");
        QTest::newRow("G takes 3") << false << Bytes("\x02G\x01\x02" "DZ\x03") << Bytes("|@1,1");
        QTest::newRow("G 00 takes 5") << true << Bytes("\x02G00\x01\x02" "D00Z\x03") << Bytes("|@1,1");
        QTest::newRow("P takes 3") << false << Bytes("\x02PA\x02" "DZ\x03") << Bytes("|@1,1");
        QTest::newRow("S 00 takes 5") << true << Bytes("\x02S00A\x02" "D00Z\x03") << Bytes("|@1,1");
        QTest::newRow("L takes 2") << false << Bytes("\x02" "DA\x03\x02L\x02" "DZ\x03") << Bytes("|@1,1");
        QTest::newRow("L 00 takes 3") << true << Bytes("\x02L00\x02" "D00Z\x03") << Bytes("Z|@1,2");
        QTest::newRow("T takes 3") << false << Bytes("\x02" "DA\x03\x02T\x03\x02L\x03") << Bytes("A|@1,2");
        QTest::newRow("T 00 takes 3") << true << Bytes("\x02" "D00A\x03\x02T00\x03\x02L00\x03") << Bytes("|@1,1");
    }
    void zorvane()
    {
        QFETCH(bool, comutadora);
        QFETCH(Bytes, bytes);
        Terminal t(TerminalState::kZorvane, comutadora);
        t.feed(bytes);
        QTEST(screen(t.display), "expected");
        QCOMPARE(t.status.reports, bytes.contains("\x02T") ? 1 : 0);
    }

    // Each frame twice: complete, then cut before its operand.
    void zorvaneReplies_data()
    {
        QTest::addColumn<bool>("comutadora");
        QTest::addColumn<char>("letter");
        QTest::addColumn<bool>("blocked");
        QTest::addColumn<Bytes>("reply");
        QTest::newRow("P busy") << false << 'P' << true << Bytes("\x02\x1b\x80P\x03");
        QTest::newRow("P ready") << false << 'P' << false << Bytes("\x02\x1b\x01P\x03");
        QTest::newRow("S busy") << false << 'S' << true << Bytes("\x02\x1b\x80S\x03");
        QTest::newRow("S ready") << false << 'S' << false << Bytes("\x02\x1b\x01S\x03");
        QTest::newRow("P busy 00") << true << 'P' << true << Bytes("\x02\x1b" "00\x80P\x03");
        QTest::newRow("P ready 00") << true << 'P' << false << Bytes("\x02\x1b" "00\x01P\x03");
        QTest::newRow("S busy 00") << true << 'S' << true << Bytes("\x02\x1b" "00\x80S\x03");
        QTest::newRow("S ready 00") << true << 'S' << false << Bytes("\x02\x1b" "00\x01S\x03");
    }
    void zorvaneReplies()
    {
        QFETCH(bool, comutadora);
        QFETCH(char, letter);
        QFETCH(bool, blocked);
        QFETCH(Bytes, reply);
        Terminal t(TerminalState::kZorvane, comutadora);
        (letter == 'P' ? t.state.busy : t.state.cts) = blocked;
        const Bytes frame = Bytes("\x02") + letter + (comutadora ? "00" : "");
        t.feed(frame + "x\x03" + frame);
        QCOMPARE(t.sender.sends, (QList<Bytes>{reply, reply}));
        const Bytes out = letter == 'P' ? t.outputs.ParallelLine() : t.outputs.serialLog().empty() ? Bytes() : t.outputs.serialLog().back();
        QCOMPARE(out, blocked ? Bytes() : Bytes("x"));
    }

    void zorvaneRelaysAndStatus()
    {
        Terminal t(TerminalState::kZorvane);
        t.feed("\x02G");
        QCOMPARE(t.outputs.ledColor(0), 0xFF00FFu);
        t.feed("\x02G\x05\x03");
        const QList<quint32> leds{t.outputs.ledColor(0), t.outputs.ledColor(1), t.outputs.ledColor(2), t.outputs.ledColor(3)};
        QCOMPARE(leds, (QList<quint32>{0xFF0000, 0x0000FF, 0xFF0000, 0xFF00FF}));
        t.outputs.setComPort(nullptr);
        t.state.serialRelayEnabled = true;
        t.feed("\x02Sx\x03\x02" "DOK\x03");
        QCOMPARE(screen(t.display), Bytes("OK|@1,3"));
    }

    void deliveriesStandAlone()
    {
        Terminal z(TerminalState::kZorvane);
        z.feed("\x02" "DAB");
        z.feed("CD\x03");
        QCOMPARE(shown(z.display), Bytes("AB|"));
        z.state.protocolKind = TerminalState::kTelnet;
        z.feed("\x1b[1;0");
        z.feed("5H\x02");
        QCOMPARE(screen(z.display), Bytes("AB1;05H\x02|@1,9"));
    }
};

QTEST_GUILESS_MAIN(TestHostInterpreter)
#include "tst_host_interpreter.moc"
