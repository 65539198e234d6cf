#include "engine/errors.h"

#include "support/engine_fakes.h"

#include <QTest>

#include <climits>

namespace {

const QByteArray kStx("\x02", 1);

} // namespace

class TestHostInterpreter : public QObject {
    Q_OBJECT
private slots:
    void vt100Display_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("line1");
        QTest::addColumn<QByteArray>("line2");
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("col");
        QTest::newRow("CR and LF") << QByteArray("AB\rC\nD") << QByteArray("CB") << QByteArray(" D") << 2 << 3;
        QTest::newRow("LF from row 3 goes to line 1")
            << QByteArray("\x1b[03;01H\nX") << QByteArray("X") << QByteArray() << 1 << 2;
        QTest::newRow("ESC [ 2 J is text") << QByteArray("\x1b[2J") << QByteArray("2J") << QByteArray() << 1 << 3;
        QTest::newRow("ESC [ J clears") << QByteArray("AB\nCD\x1b[J") << QByteArray() << QByteArray() << 1 << 1;
        QTest::newRow("one-digit column is text") << QByteArray("\x1b[1;5H") << QByteArray("1;5H") << QByteArray() << 1 << 5;
        QTest::newRow("row 1 column 05") << QByteArray("\x1b[1;05HZ") << QByteArray("    Z") << QByteArray() << 1 << 6;
        QTest::newRow("row 12 is line 2") << QByteArray("\x1b[12;05HZ") << QByteArray() << QByteArray("    Z") << 12 << 6;
        QTest::newRow("02;10 without [") << QByteArray("\x1b" "02;10f") << QByteArray() << QByteArray() << 2 << 10;
        QTest::newRow("ESC [ D D is one back-step") << QByteArray("ABC\x1b[DD") << QByteArray("AB") << QByteArray() << 1 << 3;
        QTest::newRow("ESC n D is one back-step") << QByteArray("ABC\x1bnDX") << QByteArray("ABX") << QByteArray() << 1 << 4;
        QTest::newRow("ESC [ A keeps the column") << QByteArray("A\nB\x1b[AC") << QByteArray("A C") << QByteArray(" B") << 1 << 4;
        QTest::newRow("ESC [ C steps forward") << QByteArray("\x1b[C\x1b" "CX") << QByteArray("  X") << QByteArray() << 1 << 4;
        QTest::newRow("ESC [ K erases the line") << QByteArray("AB\nCD\x1b[KE") << QByteArray("AB") << QByteArray("E") << 2 << 2;
        QTest::newRow("ESC [ m homes, then a cursor form") << QByteArray("AB\x1b[m02;03HX") << QByteArray("AB") << QByteArray("  X") << 2 << 4;
        QTest::newRow("unknown selector is text") << QByteArray("\x1b[Q") << QByteArray("Q") << QByteArray() << 1 << 2;
        QTest::newRow("cut ESC") << QByteArray("AB\x1b") << QByteArray("AB") << QByteArray() << 1 << 3;
        QTest::newRow("cut ESC [") << QByteArray("AB\x1b[") << QByteArray("AB") << QByteArray() << 1 << 3;
        QTest::newRow("cut cursor form is text") << QByteArray("\x1b[1;0") << QByteArray("1;0") << QByteArray() << 1 << 4;
        QTest::newRow("long digit run is text")
            << QByteArray("\x1b[") + QByteArray(30, '9') + "H" << QByteArray(30, '9') + "H" << QByteArray() << 1 << 32;
        // Out-of-range cursor commands still write inside the display.
        QTest::newRow("99;99") << QByteArray("\x1b[99;99HZ") << QByteArray("Z") << QByteArray() << 1 << 2;
        QTest::newRow("00;00") << QByteArray("\x1b[00;00HZ") << QByteArray() << QByteArray("Z") << 0 << 2;
        QTest::newRow("-5;-5") << QByteArray("\x1b[-5;-5HZ") << QByteArray() << QByteArray("Z") << -5 << 2;
        QTest::newRow("BS from column 99 blanks 40")
            << QByteArray("AB\x1b[1;99H\x1b[DX") << QByteArray("AB") + QByteArray(37, ' ') + "X" << QByteArray() << 1 << 41;
    }
    void vt100Display()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, line1);
        QFETCH(QByteArray, line2);
        Terminal t;
        t.feed(bytes);
        QCOMPARE(t.display.DisplayLine1(), displayLine(line1));
        QCOMPARE(t.display.DisplayLine2(), displayLine(line2));
        QTEST(t.display.CursorRow(), "row");
        QTEST(t.display.CursorCol(), "col");
    }

    void vt100ViewMatchesRefreshAfterEveryWrite()
    {
        Terminal t;
        t.display.showStatusText(2, "Conectado");
        t.feed("\x1b[H");
        QCOMPARE(t.display.view2(), QByteArray("Conectado"));
        t.feed("ABC\x1b[K");
        QCOMPARE(t.display.view1(), displayLine("ABC"));
        QCOMPARE(t.display.DisplayLine1(), displayLine({}));
        QCOMPARE(t.display.view2(), displayLine({}));
    }

    void printerController()
    {
        Terminal t;
        t.feed("\x1b" "5i");
        QVERIFY(t.interpreter.PrinterControllerOn());
        t.feed("AB\r\n");
        QCOMPARE(t.display.DisplayLine1(), displayLine({}));
        QVERIFY(t.outputs.ParallelLine().isEmpty() && t.outputs.serialLog().empty());
        t.feed("\x1b[4iX\x1b[?25l");
        QVERIFY(!t.interpreter.PrinterControllerOn());
        QCOMPARE(t.interpreter.PrintDestination(), 'l');
        QCOMPARE(t.display.DisplayLine1(), displayLine("X"));

        t.feed("\x1b[H5iAB\r\n\x1b[4iZ");
        QCOMPARE(t.outputs.parallelLog().size(), size_t(1));
        QCOMPARE(t.outputs.parallelLog().back(), QByteArray("AB(13)(10)"));
        QCOMPARE(t.display.DisplayLine1(), displayLine("Z"));

        t.feed("\x1b[?01wxyzQ");
        QCOMPARE(t.interpreter.PrintDestination(), 'l');
        QCOMPARE(t.display.DisplayLine1(), displayLine("ZQ"));
        t.feed("\x1b[?0");
        QCOMPARE(t.interpreter.PrintDestination(), 'l');

        t.state.serialRelayEnabled = true;
        t.feed("\x1b[?01r\x1b[5iA\x05");
        QCOMPARE(t.interpreter.PrintDestination(), 'r');
        QCOMPARE(t.outputs.serialLog(), (std::deque<QByteArray>{"A", "(5)"}));
        QCOMPARE(t.scale.answers, 1);
        QCOMPARE(t.port.writes, (QList<QByteArray>{"A", "\x05"}));

        t.feed("\x1b[?01c\x1b[5i\x05");
        QCOMPARE(t.outputs.ledColor(0), 0xFF0000u);
        QCOMPARE(t.outputs.ledColor(1), 0x0000FFu);
        t.feed("\x1b[?01x\x1b[5iDROPPED");
        QCOMPARE(t.display.DisplayLine1(), displayLine("ZQ"));
        QCOMPARE(t.outputs.serialLog().size(), size_t(2));
    }

    void failedComRelayKeepsTheDelivery()
    {
        Terminal t;
        t.port.open = false;
        t.state.serialRelayEnabled = true;
        t.feed("\x1b[?01h\x1b[5iAB\x1b[4iC");
        QCOMPARE(t.port.writes.size(), 2);
        QCOMPARE(t.outputs.serialLog(), (std::deque<QByteArray>{"A", "B"}));
        QCOMPARE(t.display.DisplayLine1(), displayLine("C"));

        Terminal z(TerminalState::kZorvane);
        z.outputs.setComPort(nullptr);
        z.state.serialRelayEnabled = true;
        z.feed("\x02Sx\x03\x02" "DOK\x03");
        QCOMPARE(z.outputs.lastSerial(), QByteArray("x"));
        QCOMPARE(z.display.DisplayLine1(), displayLine("OK"));
    }

    void functionKeyMode()
    {
        Terminal t;
        t.feed("\x1b\x1b\xC0");
        QVERIFY(t.state.functionKeyMode);
        t.feed("\x1b\x1b" "A");
        QVERIFY(t.state.functionKeyMode);
        QCOMPARE(t.display.DisplayLine1(), displayLine({}));
        t.feed("\x1b[\x1b\x80");
        QVERIFY(!t.state.functionKeyMode);
    }

    void conversionErrorStopsTheDelivery_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("offending");
        QTest::addColumn<int>("row");
        QTest::newRow("vt100 letters in row") << TerminalState::kVt100 << QByteArray("AB\x1b[x1;05HCD") << QByteArray("x1") << 1;
        QTest::newRow("telnet letters in column") << TerminalState::kTelnet << QByteArray("AB\x1b[2;0xHCD") << QByteArray("0x") << 2;
        QTest::newRow("zorvane column") << TerminalState::kZorvane << QByteArray("\x02" "DAB\x03\x02" "C1x5\x03\x02" "DCD\x03")
                                        << QByteArray("x5") << 2;
        QTest::newRow("zorvane cut short") << TerminalState::kZorvane << QByteArray("\x02" "DAB\x03\x02" "C1")
                                           << QByteArray() << 2;
    }
    void conversionErrorStopsTheDelivery()
    {
        QFETCH(int, protocol);
        QFETCH(QByteArray, bytes);
        Terminal t(protocol);
        try {
            t.feed(bytes);
            QFAIL("no error");
        } catch (const ConversionError &error) {
            QTEST(error.offendingText(), "offending");
        }
        QCOMPARE(t.display.DisplayLine1(), displayLine("AB"));
        QCOMPARE(t.display.view1(), displayLine("AB"));
        QTEST(t.display.CursorRow(), "row");
    }

    void zorvaneDisplay_data()
    {
        QTest::addColumn<bool>("comutadora");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("line1");
        QTest::addColumn<QByteArray>("line2");
        QTest::addColumn<int>("col");
        QTest::newRow("CR shown as Cr") << false << QByteArray("\x02" "DAB\rC\x03") << QByteArray("ABCrC") << QByteArray() << 6;
        QTest::newRow("BS steps back and blanks") << false << QByteArray("\x02" "DA\bB\x03") << QByteArray("B") << QByteArray() << 2;
        QTest::newRow("C is zero-based") << false << QByteArray("\x02" "C105\x03\x02" "DX\x03") << QByteArray() << QByteArray("     X") << 7;
        QTest::newRow("C 999 wraps on write") << false << QByteArray("\x02" "C999\x03\x02" "DX\x03") << QByteArray("X") << QByteArray() << 2;
        QTest::newRow("O steps back on DLE only")
            << false << QByteArray("\x02" "DABC\x03\x02O\x10\x03\x02O\x11\x03\x02" "DZ\x03") << QByteArray("ABZ") << QByteArray() << 4;
        QTest::newRow("O below column 1 writes column 1")
            << false << QByteArray("\x02O\x10\x03\x02O\x10\x03\x02" "DZ\x03") << QByteArray("Z") << QByteArray() << 2;
        QTest::newRow("text ends at STX") << false << QByteArray("\x02" "DAB\x02L\x03\x02" "DC") << QByteArray("C") << QByteArray() << 2;
        QTest::newRow("unknown letter drops the rest") << false << QByteArray("\x02" "DA\x03\x02X\x02" "DB\x03") << QByteArray("A") << QByteArray() << 2;
        QTest::newRow("stray bytes are ignored") << false << QByteArray("zz\x03\x02" "DA\x03yy") << QByteArray("A") << QByteArray() << 2;
        QTest::newRow("cut STX") << false << QByteArray("\x02" "DA\x03\x02") << QByteArray("A") << QByteArray() << 2;
        QTest::newRow("comutadora C and D") << true << QByteArray("\x02" "C00105\x03\x02" "D00X\x03") << QByteArray() << QByteArray("     X") << 7;
        QTest::newRow("comutadora L") << true << QByteArray("\x02" "D00AB\x03\x02L00\x03\x02" "D00C\x03") << QByteArray("C") << QByteArray() << 2;
    }
    void zorvaneDisplay()
    {
        QFETCH(bool, comutadora);
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, line1);
        QFETCH(QByteArray, line2);
        Terminal t(TerminalState::kZorvane, comutadora);
        t.feed(bytes);
        QCOMPARE(t.display.DisplayLine1(), displayLine(line1));
        QCOMPARE(t.display.DisplayLine2(), displayLine(line2));
        QTEST(t.display.CursorCol(), "col");
        QCOMPARE(t.display.view1(), t.display.DisplayLine1());
    }

    // Each frame is followed by a "D" frame whose STX sits where the frame's
    // last consumed byte would be: Z shows only when the frame stops short of it.
    void zorvaneBytesConsumed_data()
    {
        QTest::addColumn<bool>("comutadora");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<bool>("zShown");
        QTest::newRow("C plain takes 4") << false << QByteArray("\x02" "C000") << true;
        QTest::newRow("C plain leaves ETX") << false << QByteArray("\x02" "C000\x03") << true;
        QTest::newRow("C comutadora takes 7") << true << QByteArray("\x02" "C00000") << false;
        QTest::newRow("G plain takes 3") << false << QByteArray("\x02G\x01") << false;
        QTest::newRow("G comutadora takes 5") << true << QByteArray("\x02G00\x01") << false;
        QTest::newRow("O plain takes 3") << false << QByteArray("\x02O\x11") << false;
        QTest::newRow("P plain takes 3") << false << QByteArray("\x02P") + "A" << false;
        QTest::newRow("S comutadora takes 5") << true << QByteArray("\x02S00") + "A" << false;
        QTest::newRow("L plain takes 2") << false << QByteArray("\x02L") << false;
        QTest::newRow("L comutadora takes 3") << true << QByteArray("\x02L00") << true;
        QTest::newRow("T plain takes 3") << false << QByteArray("\x02T\x03") << false;
        QTest::newRow("T comutadora takes 3") << true << QByteArray("\x02T00") << true;
    }
    void zorvaneBytesConsumed()
    {
        QFETCH(bool, comutadora);
        QFETCH(QByteArray, frame);
        QFETCH(bool, zShown);
        Terminal t(TerminalState::kZorvane, comutadora);
        t.feed(frame + (comutadora ? QByteArray("\x02" "D00Z\x03") : QByteArray("\x02" "DZ\x03")));
        QCOMPARE(t.display.DisplayLine1().contains('Z'), zShown);
    }

    void zorvaneReplies_data()
    {
        QTest::addColumn<bool>("comutadora");
        QTest::addColumn<char>("letter");
        QTest::addColumn<bool>("blocked");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("P busy") << false << 'P' << true << QByteArray("\x02\x1b\x80P\x03");
        QTest::newRow("P ready") << false << 'P' << false << QByteArray("\x02\x1b\x01P\x03");
        QTest::newRow("S busy") << false << 'S' << true << QByteArray("\x02\x1b\x80S\x03");
        QTest::newRow("S ready") << false << 'S' << false << QByteArray("\x02\x1b\x01S\x03");
        QTest::newRow("P busy comutadora") << true << 'P' << true << QByteArray("\x02\x1b" "00\x80P\x03");
        QTest::newRow("P ready comutadora") << true << 'P' << false << QByteArray("\x02\x1b" "00\x01P\x03");
        QTest::newRow("S busy comutadora") << true << 'S' << true << QByteArray("\x02\x1b" "00\x80S\x03");
        QTest::newRow("S ready comutadora") << true << 'S' << false << QByteArray("\x02\x1b" "00\x01S\x03");
    }
    void zorvaneReplies()
    {
        QFETCH(bool, comutadora);
        QFETCH(char, letter);
        QFETCH(bool, blocked);
        QFETCH(QByteArray, reply);
        Terminal t(TerminalState::kZorvane, comutadora);
        (letter == 'P' ? t.state.busy : t.state.cts) = blocked;
        const QByteArray address = comutadora ? "00" : "";
        t.feed(kStx + letter + address + "x\x03" + kStx + letter + address);
        QCOMPARE(t.sender.sends, (QList<QByteArray>{reply, reply}));
        const QByteArray expectedLast = blocked ? QByteArray() : QByteArray("x");
        QCOMPARE(letter == 'P' ? t.outputs.lastParallel() : t.outputs.lastSerial(), expectedLast);
        if (letter == 'P')
            QCOMPARE(t.outputs.ParallelLine(), expectedLast);
        else
            QCOMPARE(t.outputs.serialLog().size(), size_t(blocked ? 0 : 1));
    }

    void zorvaneRelaysAndStatus()
    {
        Terminal t(TerminalState::kZorvane);
        t.feed("\x02G");
        QCOMPARE(t.outputs.ledColor(0), 0xFF00FFu);
        t.feed("\x02G\x05\x03");
        const QList<quint32> leds{t.outputs.ledColor(0), t.outputs.ledColor(1), t.outputs.ledColor(2), t.outputs.ledColor(3)};
        QCOMPARE(leds, (QList<quint32>{0xFF0000, 0x0000FF, 0xFF0000, 0xFF00FF}));

        t.feed("\x02" "DAB\x03\x02T\x03\x02L\x03");
        QCOMPARE(t.status.reports, 1);
        QCOMPARE(t.display.DisplayLine1(), displayLine("AB"));
        t.state.comutadoraMode = true;
        t.feed("\x02T00\x03\x02L00\x03");
        QCOMPARE(t.status.reports, 2);
        QCOMPARE(t.display.DisplayLine1(), displayLine({}));
        QVERIFY(t.sender.sends.isEmpty());
    }

    void cutCommandsAreNotResumed()
    {
        Terminal z(TerminalState::kZorvane);
        z.feed("\x02" "DAB");
        z.feed("CD\x03");
        QCOMPARE(z.display.DisplayLine1(), displayLine("AB"));
        QCOMPARE(z.display.view1(), displayLine("AB"));

        Terminal v;
        v.feed("\x1b[1;0");
        v.feed("5HZ");
        QCOMPARE(v.display.DisplayLine1(), displayLine("1;05HZ"));
    }

    void dialectFollowsTheProtocol()
    {
        Terminal t(TerminalState::kZorvane);
        t.feed("\x02" "DA\x03");
        t.state.protocolKind = TerminalState::kTelnet;
        t.feed("\x02" "DB");
        QCOMPARE(t.display.DisplayLine1(), displayLine("A\x02" "DB"));
    }
};

QTEST_GUILESS_MAIN(TestHostInterpreter)
#include "tst_host_interpreter.moc"
