// The trace's decoding and bookkeeping without a process: the host command
// decoder agrees with the interpreter on where every command ends, whatever
// the bytes; the words and warnings of the commands the conversation tests
// do not reach; and the Tracer's own records (notes, menu commands) and its
// coming and going on the terminal.

#include "common/recorders.h"
#include "engine/display_model.h"
#include "engine/errors.h"
#include "engine/host_interpreter.h"
#include "engine/outputs.h"
#include "engine/terminal_observer.h"
#include "engine/terminal_state.h"
#include "terminal/terminal.h"
#include "trace/host_command_decoder.h"
#include "trace/tracer.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

class NoStatus : public StatusReporter {
public:
    void StatusReport() override {}
};

// The interpreter on its own, with the decoder watching it: at each command
// the interpreter announces, the decoder must have predicted that offset
// (or the offset lies inside what the decoder already took, a stray ETX it
// counts with its frame).
struct Agreement : TerminalObserver {
    TerminalState state;
    DisplayModel display;
    Outputs outputs{state};
    RecordingSender sender;
    NoStatus status;
    HostInterpreter interpreter{state, display, outputs, sender, status};
    qsizetype predicted = 0;
    QStringList faults;

    Agreement(int protocol, bool comutadora)
    {
        state.protocolKind = protocol;
        state.comutadoraMode = comutadora;
        state.observer = this;
    }

    void hostCommandStarts(const QByteArray &delivery, qsizetype offset) override
    {
        if (offset < predicted)
            return;
        if (offset != predicted)
            faults.append(QStringLiteral("%1: the decoder ended a command at %2, the interpreter at %3")
                              .arg(QString::fromLatin1(delivery.toHex(' ')))
                              .arg(predicted)
                              .arg(offset));
        HostCommandDecoder::Context context;
        context.vt100 = state.vt100CommandSet();
        context.comutadora = state.comutadoraMode;
        context.printerControllerOn = interpreter.PrinterControllerOn();
        context.printDestination = interpreter.PrintDestination();
        context.row = display.CursorRow();
        context.col = display.CursorCol();
        const HostCommandDecoder::Decoded decoded = HostCommandDecoder::decode(delivery, offset, context, true);
        if (decoded.length <= 0)
            faults.append(QStringLiteral("an empty command at %1").arg(offset));
        predicted = offset + decoded.length;
    }

    // False when the delivery ended in an error report, whose rest the decoder must have named.
    void run(const QByteArray &delivery)
    {
        predicted = 0;
        try {
            interpreter.InterpretHostData(delivery);
        } catch (const AppError &) {
            return;
        }
        if (predicted != delivery.size())
            faults.append(QStringLiteral("%1: the decoder took %2 bytes of %3")
                              .arg(QString::fromLatin1(delivery.toHex(' ')))
                              .arg(predicted)
                              .arg(delivery.size()));
    }
};

QByteArray randomDelivery(QRandomGenerator &random)
{
    static const QByteArray alphabet = QByteArrayLiteral("\x02\x02\x02\x03\x03\x1b\x1b[[?;;0012459aCDGLOPSTXHfmJKAinwhlrc\r\n\b\x10\x05\x80\xc0 ");
    QByteArray out;
    const int size = int(random.bounded(1, 24));
    for (int i = 0; i < size; ++i)
        out.append(alphabet.at(int(random.bounded(alphabet.size()))));
    return out;
}

HostCommandDecoder::Decoded decode(const QByteArray &bytes, bool vt100, bool comutadora = false,
                                   HostCommandDecoder::Context context = {})
{
    context.vt100 = vt100;
    context.comutadora = comutadora;
    return HostCommandDecoder::decode(bytes, 0, context, true);
}

} // namespace

class TstTrace : public QObject {
    Q_OBJECT

private slots:
    void decoderTakesWhatTheInterpreterTakes_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<bool>("comutadora");
        QTest::newRow("vt100") << int(TerminalState::kVt100) << false;
        QTest::newRow("zorvane plain") << int(TerminalState::kZorvane) << false;
        QTest::newRow("zorvane comutadora") << int(TerminalState::kZorvane) << true;
    }
    void decoderTakesWhatTheInterpreterTakes()
    {
        QFETCH(int, protocol);
        QFETCH(bool, comutadora);
        Agreement agreement(protocol, comutadora);
        QRandomGenerator random(1234);
        for (int i = 0; i < 20000 && agreement.faults.size() < 5; ++i) {
            agreement.state.busy = random.bounded(2) == 1;
            agreement.run(randomDelivery(random));
        }
        QVERIFY2(agreement.faults.isEmpty(), qPrintable(agreement.faults.join(QLatin1Char('\n'))));
    }

    void wordsAndWarnings_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("vt100");
        QTest::addColumn<bool>("comutadora");
        QTest::addColumn<int>("length");
        QTest::addColumn<QString>("words");
        QTest::addColumn<QString>("warning");
        QTest::newRow("w setting takes seven") << QByteArray("\x1b[?01wabcZ") << true << false << 9
                                               << "ESC [ ? 0 1 w a b c  nothing (a \"w\" setting)" << "";
        QTest::newRow("D D is one step") << QByteArray("\x1b[DD") << true << false << 4
                                         << "ESC [ D D  one step back, blanking the cell" << "";
        QTest::newRow("ESC at the end") << QByteArray("\x1b") << true << false << 1
                                        << "ESC  nothing done, cut by the end of the delivery" << "cut-command";
        QTest::newRow("selector then form") << QByteArray("\x1b[H5i") << true << false << 5
                                            << "ESC [ H 5 i  cursor home (row 1, column 1), then printer "
                                               "controller on"
                                            << "";
        QTest::newRow("numeric parameter") << QByteArray("\x1b[2J") << true << false << 2
                                           << "ESC [  no command: what follows is shown as text" << "";
        QTest::newRow("Cr written for CR") << QByteArray("\x02" "DAB\rC\x03") << false << false << 7
                                           << "STX \"D\" \"AB\" CR \"C\" ETX  text \"AB\" CR \"C\" at row 1, column 1"
                                           << "";
        QTest::newRow("plain C takes its ETX") << QByteArray("\x02" "C105\x03") << false << false << 6
                                               << "STX \"C\" \"105\" ETX  cursor to row 2, column 6" << "";
        QTest::newRow("C cut short") << QByteArray("\x02" "C1") << false << false << 3
                                     << "STX \"C\" \"1\"  cursor operands are not numbers ('' is not a valid integer "
                                        "value): the rest of the delivery (0 bytes) is not processed, cut by the "
                                        "end of the delivery"
                                     << "cut-command";
        QTest::newRow("Comutadora L takes its ETX") << QByteArray("\x02L00\x03\x02") << false << true << 5
                                                    << "STX \"L\" \"00\" ETX  clear the display" << "";
        QTest::newRow("plain T takes two bytes") << QByteArray("\x02TXY\x02L\x03") << false << false << 4
                                                 << "STX \"T\" 'X' 'Y'  status query: status frame 02 1b 80 54 03"
                                                 << "";
        QTest::newRow("O with DLE") << QByteArray("\x02O\x10\x03") << false << false << 4
                                    << "STX \"O\" 10 ETX  cursor one column back, to column 0" << "";
        QTest::newRow("G all off") << QByteArray("\x02G0\x03") << false << false << 4
                                   << "STX \"G\" '0' ETX  all LEDs off" << "";
        QTest::newRow("P cut") << QByteArray("\x02P") << false << false << 2
                               << "STX \"P\"  printer ready: reply 02 1b 01 50 03, nothing to print, cut by the end "
                                  "of the delivery"
                               << "cut-command";
        QTest::newRow("STX at the end") << QByteArray("\x02") << false << false << 1
                                        << "STX  nothing done, cut by the end of the delivery" << "cut-command";
    }
    void wordsAndWarnings()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, vt100);
        QFETCH(bool, comutadora);
        QFETCH(int, length);
        QFETCH(QString, words);
        QFETCH(QString, warning);
        const HostCommandDecoder::Decoded decoded = decode(bytes, vt100, comutadora);
        QCOMPARE(decoded.words, words);
        QCOMPARE(decoded.length, qsizetype(length));
        QCOMPARE(HostCommandDecoder::warningName(decoded.warning), warning);
        // Without words the extent and the warning are the same: folding relies on it.
        HostCommandDecoder::Context context;
        context.vt100 = vt100;
        context.comutadora = comutadora;
        const HostCommandDecoder::Decoded quick = HostCommandDecoder::decode(bytes, 0, context, false);
        QCOMPARE(quick.length, decoded.length);
        QCOMPARE(quick.warning, decoded.warning);
        QVERIFY(quick.words.isEmpty());
    }

    void printerControllerRuns()
    {
        HostCommandDecoder::Context context;
        context.printerControllerOn = true;
        context.printDestination = 'r';
        context.scaleAnswers = true;
        context.serialRelay = true;
        QCOMPARE(decode(QByteArray("A\x05\x1b[4i"), true, false, context).words,
                 QStringLiteral("\"A\" ENQ  2 bytes to the serial interface (printer controller) and the PC COM "
                                "port; the scale answers each ENQ"));
        context.printDestination = 0;
        QCOMPARE(decode(QByteArray("AB"), true, false, context).words,
                 QStringLiteral("\"AB\"  2 bytes to nowhere (bytes dropped) (printer controller)"));
    }

    void aFoldNamesItsLastCommandWhereTheTerminalRanIt()
    {
        // Folded commands are named ahead of the interpreter, from the cursor
        // the decoder predicts; the display must agree at the last of them.
        QTemporaryDir folder;
        RecordingPrompts prompts;
        Terminal terminal(folder.path(), prompts, [] { return QStringLiteral("10.0.0.1"); });
        terminal.state().protocolKind = TerminalState::kZorvane;
        QByteArray flood;
        // Forty characters a frame: each after the first starts past column 40 and wraps to the other line.
        for (int i = 0; i < 30; ++i)
            flood += "\x02" "D" + QByteArray(40, char('a' + i % 26)) + "\x03";
        flood += "\x02" "G\x01\x03";
        QList<TraceRecord> records;
        {
            Tracer tracer(terminal, [&](const TraceRecord &r) { records.append(r); });
            terminal.interpreter().InterpretHostData(flood);
            tracer.flush();
        }
        QCOMPARE(records.size(), 11);
        QVERIFY(records.at(0).warning.isEmpty());
        const TraceRecord &fold = records.at(9);
        QCOMPARE(fold.repeated, 21);
        QCOMPARE(fold.warning, QStringLiteral("wrapped-text"));

        // Where the terminal itself was when the last "D" frame began.
        Agreement replay(TerminalState::kZorvane, false);
        replay.state.observer = nullptr;
        const qsizetype lastFrame = flood.lastIndexOf("\x02" "D");
        replay.interpreter.InterpretHostData(flood.left(lastFrame));
        QVERIFY2(fold.text.contains(QStringLiteral("at row %1, column %2")
                                        .arg(replay.display.CursorRow())
                                        .arg(replay.display.CursorCol())),
                 qPrintable(fold.text));
        QCOMPARE(records.at(10).text, QStringLiteral("STX \"G\" 01 ETX  LED 0 on, the others off"));
    }

    void tracerComesAndGoesWithItsRecords()
    {
        QTemporaryDir folder;
        RecordingPrompts prompts;
        Terminal terminal(folder.path(), prompts, [] { return QStringLiteral("10.0.0.1"); });
        QCOMPARE(terminal.state().observer, nullptr);

        QList<TraceRecord> records;
        auto tracer = std::make_unique<Tracer>(terminal, [&](const TraceRecord &r) { records.append(r); });
        QVERIFY(terminal.state().observer != nullptr);
        // The generic hook that parts acting from outside (injected faults) use.
        terminal.observer()->note(QStringLiteral("fault"), QStringLiteral("connection reset injected"));
        terminal.actions().reportCommand(QStringLiteral("Explorar"));
        terminal.state().protocolKind = TerminalState::kZorvane;
        terminal.interpreter().InterpretHostData(QByteArray("\x02" "DA"));
        QCOMPARE(records.size(), 3);
        QCOMPARE(records[0].kind, TraceRecord::Kind::Note);
        QCOMPARE(records[0].tag, QStringLiteral("fault"));
        QCOMPARE(records[0].text, QStringLiteral("connection reset injected"));
        QCOMPARE(records[1].kind, TraceRecord::Kind::Operator);
        QCOMPARE(records[1].text, QStringLiteral("menu \"Explorar\""));
        QCOMPARE(records[2].warning, QStringLiteral("cut-command"));
        QCOMPARE(records[2].number, 3);
        QVERIFY(records[2].timeUs >= records[1].timeUs && records[2].deltaUs == records[2].timeUs - records[1].timeUs);
        const TraceSummary summary = tracer->summary();
        QCOMPARE(summary.records, 3);
        QCOMPARE(summary.notes.at(QStringLiteral("fault")), 1);
        QCOMPARE(summary.warnings.at(QStringLiteral("cut-command")), 1);

        tracer.reset();
        // Nobody watches again: the producers are back to their one branch.
        QCOMPARE(terminal.state().observer, nullptr);
        terminal.interpreter().InterpretHostData(QByteArray("\x02L\x03"));
        QCOMPARE(records.size(), 3);
    }
};

QTEST_GUILESS_MAIN(TstTrace)
#include "tst_trace.moc"
