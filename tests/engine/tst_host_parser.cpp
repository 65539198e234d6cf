// The host's bytes cut into commands: where each command ends, what it takes
// as operands and what the host lost by it, in both dialects and both
// framings; that the commands of any delivery cover it exactly; and that the
// interpreter runs and reports exactly the commands the parser cuts, each
// delivery under a number of its own.

#include "engine/errors.h"
#include "engine/host_parser.h"
#include "engine/terminal_observer.h"

#include "support/engine_fakes.h"

#include <QRandomGenerator>
#include <QTest>

namespace {

using Bytes = QByteArray;
enum Dialect { Vt100, Printer, Plain, Comutadora };

HostCommand parseAt(const Bytes &bytes, qsizetype at, Dialect dialect)
{
    if (dialect == Vt100 || dialect == Printer)
        return hostparser::vt100(bytes.constData(), at, bytes.size(), dialect == Printer);
    return hostparser::zorvane(bytes.constData(), at, bytes.size(), dialect == Comutadora);
}

QByteArray kindName(const HostCommand &c)
{
    switch (c.kind) {
    case HostCommand::Kind::Text:
        return "text";
    case HostCommand::Kind::Printed:
        return "printed";
    case HostCommand::Kind::Escape:
        return "esc";
    case HostCommand::Kind::Strays:
        return "strays";
    case HostCommand::Kind::Frame:
        return c.letter ? Bytes(1, c.letter) : Bytes("STX");
    }
    return "?";
}

QByteArray lossName(HostCommand::Loss loss)
{
    switch (loss) {
    case HostCommand::Loss::None:
        return "";
    case HostCommand::Loss::Cut:
        return " cut";
    case HostCommand::Loss::Strays:
        return " strays";
    case HostCommand::Loss::UnknownLetter:
        return " unknown";
    case HostCommand::Loss::BadCursorOperands:
        return " bad";
    }
    return " ?";
}

// "esc 4, text 2 ..." with the operands that are there: "C 6 row=1 col=05".
QByteArray rendered(const Bytes &bytes, Dialect dialect)
{
    QByteArrayList out;
    for (qsizetype at = 0; at < bytes.size();) {
        const HostCommand c = parseAt(bytes, at, dialect);
        QByteArray one = kindName(c) + ' ' + QByteArray::number(c.size()) + lossName(c.loss);
        if (c.row.size || c.col.size || c.form == HostCommand::Form::Cursor)
            one += " row=" + bytes.mid(c.row.at, c.row.size) + " col=" + bytes.mid(c.col.at, c.col.size);
        if (c.text.size)
            one += " text=" + bytes.mid(c.text.at, c.text.size);
        if (c.operand >= 0)
            one += " op=" + bytes.mid(c.operand, 1).toHex();
        out.append(one);
        at = c.end;
    }
    return out.join(", ");
}

// A watcher of the interpreter that keeps what it is told of each command.
struct Reports : TerminalObserver {
    struct Report {
        quint64 sequence;
        qsizetype begin;
        qsizetype end;
    };
    QList<Report> reports;
    void hostCommandStarts(const HostDelivery &delivery, const HostCommand &command) override
    {
        reports.append({delivery.sequence, command.begin, command.end});
    }
};

} // namespace

class TestHostParser : public QObject {
    Q_OBJECT
private slots:
    void commands_data()
    {
        QTest::addColumn<int>("dialect");
        QTest::addColumn<Bytes>("bytes");
        QTest::addColumn<Bytes>("commands");
        // VT100: the selector's bytes, then at most one form.
        QTest::newRow("w setting takes seven") << int(Vt100) << Bytes("\x1b[?01wabcZ") << Bytes("esc 9, text 1 text=Z");
        QTest::newRow("w setting cut") << int(Vt100) << Bytes("\x1b[?01wa") << Bytes("esc 7 cut");
        QTest::newRow("destination") << int(Vt100) << Bytes("\x1b[?25lX") << Bytes("esc 6 op=6c, text 1 text=X");
        QTest::newRow("destination cut") << int(Vt100) << Bytes("\x1b[?25") << Bytes("esc 5 cut");
        QTest::newRow("D D is one step") << int(Vt100) << Bytes("\x1b[DDD") << Bytes("esc 4, text 1 text=D");
        QTest::newRow("ESC at the end") << int(Vt100) << Bytes("AB\x1b") << Bytes("text 2 text=AB, esc 1 cut");
        QTest::newRow("ESC [ at the end") << int(Vt100) << Bytes("\x1b[") << Bytes("esc 2 cut");
        QTest::newRow("function keys") << int(Vt100) << Bytes("\x1b\x1b\xc0\x1b\x1b") << Bytes("esc 3 op=c0, esc 2 cut");
        QTest::newRow("selector then form") << int(Vt100) << Bytes("\x1b[H5i") << Bytes("esc 5");
        QTest::newRow("numeric parameter is text") << int(Vt100) << Bytes("\x1b[2J") << Bytes("esc 2, text 2 text=2J");
        QTest::newRow("cursor 02;10 without [") << int(Vt100) << Bytes("\x1b" "02;10fZ")
                                                << Bytes("esc 7 row=02 col=10, text 1 text=Z");
        QTest::newRow("cursor 1;05") << int(Vt100) << Bytes("\x1b[1;05H") << Bytes("esc 7 row=1 col=05");
        QTest::newRow("one-digit column is text") << int(Vt100) << Bytes("\x1b[1;5H")
                                                  << Bytes("esc 2, text 4 text=1;5H");
        QTest::newRow("cursor form cut") << int(Vt100) << Bytes("\x1b[1;0") << Bytes("esc 2 cut, text 3 text=1;0");
        QTest::newRow("cursor operands not numbers") << int(Vt100) << Bytes("\x1b[0a;10Hzz")
                                                     << Bytes("esc 8 bad row=0a col=10, text 2 text=zz");
        QTest::newRow("text runs to ESC") << int(Vt100) << Bytes("AB\r\nC\x1b[K") << Bytes("text 5 text=AB\r\nC, esc 3");
        QTest::newRow("printer controller") << int(Printer) << Bytes("A\x05\r\x1b[4i")
                                            << Bytes("printed 3 text=A\x05\r, esc 4");
        // Zorvane, plain framing.
        QTest::newRow("D with CR") << int(Plain) << Bytes("\x02" "DAB\rC\x03") << Bytes("D 7 text=AB\rC");
        QTest::newRow("D ends at STX") << int(Plain) << Bytes("\x02" "DAB\x02L\x03") << Bytes("D 4 text=AB, L 3");
        QTest::newRow("D cut") << int(Plain) << Bytes("\x02" "DAB") << Bytes("D 4 cut text=AB");
        QTest::newRow("C takes its ETX") << int(Plain) << Bytes("\x02" "C105\x03") << Bytes("C 6 row=1 col=05");
        QTest::newRow("C takes 4") << int(Plain) << Bytes("\x02" "C000\x02" "DZ\x03") << Bytes("C 5 row=0 col=00, D 4 text=Z");
        QTest::newRow("C cut short") << int(Plain) << Bytes("\x02" "C1") << Bytes("C 3 cut row=1 col=");
        QTest::newRow("C not numbers") << int(Plain) << Bytes("\x02" "C0a1\x03") << Bytes("C 6 bad row=0 col=a1");
        QTest::newRow("T takes two bytes") << int(Plain) << Bytes("\x02TXY\x02L\x03") << Bytes("T 4, L 3");
        QTest::newRow("G takes 3") << int(Plain) << Bytes("\x02G\x01\x02" "DZ\x03") << Bytes("G 4 op=01, strays 3 strays");
        QTest::newRow("O and P") << int(Plain) << Bytes("\x02O\x10\x03\x02P") << Bytes("O 4 op=10, P 2 cut");
        QTest::newRow("strays, then STX") << int(Plain) << Bytes("xx\x02") << Bytes("strays 2 strays, STX 1 cut");
        QTest::newRow("unknown letter") << int(Plain) << Bytes("\x02X\x03\x02L\x03") << Bytes("X 6 unknown");
        // Comutadora framing.
        QTest::newRow("00 L takes its ETX") << int(Comutadora) << Bytes("\x02L00\x03\x02") << Bytes("L 5, STX 1 cut");
        QTest::newRow("00 C takes 7") << int(Comutadora) << Bytes("\x02" "C00105\x03") << Bytes("C 8 row=1 col=05");
        QTest::newRow("00 T and L") << int(Comutadora) << Bytes("\x02T00\x03\x02L00\x03") << Bytes("T 5, L 5");
        QTest::newRow("00 S takes 5") << int(Comutadora) << Bytes("\x02S00A\x02" "D00Z\x03")
                                      << Bytes("S 6 op=41, strays 5 strays");
        QTest::newRow("00 D address cut") << int(Comutadora) << Bytes("\x02" "D0") << Bytes("D 3 cut");
    }
    void commands()
    {
        QFETCH(int, dialect);
        QFETCH(Bytes, bytes);
        QTEST(rendered(bytes, Dialect(dialect)), "commands");
    }

    // Whatever the bytes, each command starts where the one before ended,
    // takes at least one byte, and keeps its operands inside itself.
    void commandsCoverEveryDelivery()
    {
        static const Bytes alphabet = "\x02\x02\x02\x03\x03\x1b\x1b[[?;;0012459aCDGLOPSTXHfmJKAinwhlrc\r\n\b\x10\x05\x80\xc0 ";
        QRandomGenerator random(1234);
        for (int i = 0; i < 20000; ++i) {
            Bytes bytes;
            for (int n = int(random.bounded(1, 24)); n > 0; --n)
                bytes.append(alphabet.at(int(random.bounded(alphabet.size()))));
            const Dialect dialect = Dialect(random.bounded(4));
            const auto inside = [](const HostCommand &c, HostCommand::Span s) {
                return s.size == 0 || (s.at >= c.begin && s.at + s.size <= c.end);
            };
            for (qsizetype at = 0; at < bytes.size();) {
                const HostCommand c = parseAt(bytes, at, dialect);
                const bool fits = c.begin == at && c.end > at && c.end <= bytes.size() && inside(c, c.text) &&
                                  inside(c, c.row) && inside(c, c.col) && inside(c, c.address) &&
                                  (c.operand < 0 || (c.operand >= c.begin && c.operand < c.end));
                QVERIFY2(fits, qPrintable(QStringLiteral("dialect %1, %2 at %3")
                                              .arg(dialect)
                                              .arg(QString::fromLatin1(bytes.toHex(' ')))
                                              .arg(at)));
                at = c.end;
            }
        }
    }

    void theInterpreterRunsWhatTheParserCuts()
    {
        Terminal t(TerminalState::kZorvane);
        Reports watcher;
        t.state.observer = &watcher;
        // Two equal deliveries: told apart by their numbers.
        const Bytes delivery = "xx\x02" "DAB\x03\x02G\x01\x03\x02P";
        t.feed(delivery);
        t.feed(delivery);
        QCOMPARE(watcher.reports.size(), 8);
        QList<qsizetype> ends;
        for (qsizetype at = 0; at < delivery.size(); at = parseAt(delivery, at, Plain).end)
            ends.append(parseAt(delivery, at, Plain).end);
        for (int i = 0; i < 8; ++i) {
            QCOMPARE(watcher.reports[i].sequence, quint64(i < 4 ? 1 : 2));
            QCOMPARE(watcher.reports[i].begin, i % 4 == 0 ? 0 : ends[i % 4 - 1]);
            QCOMPARE(watcher.reports[i].end, ends[i % 4]);
        }
        // A command that fails ends the delivery: nothing after it is reported.
        watcher.reports.clear();
        t.state.protocolKind = TerminalState::kVt100;
        QVERIFY_THROWS_EXCEPTION(ConversionError, t.feed("A\x1b[0a;10HB"));
        QCOMPARE(watcher.reports.size(), 2);
        QCOMPARE(watcher.reports.last().sequence, quint64(3));
        QCOMPARE(screen(t.display), Bytes("ABABA|@1,6"));
    }
};

QTEST_GUILESS_MAIN(TestHostParser)
#include "tst_host_parser.moc"
