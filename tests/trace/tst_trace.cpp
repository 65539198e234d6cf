// The trace's naming and bookkeeping without a process: the words and
// warnings of the commands the conversation tests do not reach, named from
// the values the parser cuts; and the Tracer's own records (folds, notes,
// menu commands) and its coming and going on the terminal.

#include "common/recorders.h"
#include "engine/display_model.h"
#include "engine/host_interpreter.h"
#include "engine/host_parser.h"
#include "engine/outputs.h"
#include "engine/terminal_state.h"
#include "terminal/terminal.h"
#include "trace/command_words.h"
#include "trace/tracer.h"

#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

class NoStatus : public StatusReporter {
public:
    void StatusReport() override {}
};

// The first command of bytes, named as the trace names it: words and warning.
QPair<QString, QString> named(const QByteArray &bytes, bool vt100, bool comutadora = false, CommandScene scene = {},
                              bool printerControllerOn = false)
{
    scene.comutadora = comutadora;
    const HostCommand command = vt100 ? hostparser::vt100(bytes.constData(), 0, bytes.size(), printerControllerOn)
                                      : hostparser::zorvane(bytes.constData(), 0, bytes.size(), comutadora);
    return {commandwords::words(bytes, command, scene),
            commandwords::warningName(commandwords::warning(bytes, command, scene))};
}

} // namespace

class TstTrace : public QObject {
    Q_OBJECT

private slots:
    void wordsAndWarnings_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("vt100");
        QTest::addColumn<bool>("comutadora");
        QTest::addColumn<QString>("words");
        QTest::addColumn<QString>("warning");
        QTest::newRow("w setting takes seven") << QByteArray("\x1b[?01wabcZ") << true << false
                                               << "ESC [ ? 0 1 w a b c  nothing (a \"w\" setting)" << "";
        QTest::newRow("D D is one step") << QByteArray("\x1b[DD") << true << false
                                         << "ESC [ D D  one step back, blanking the cell" << "";
        QTest::newRow("ESC at the end") << QByteArray("\x1b") << true << false
                                        << "ESC  nothing done, cut by the end of the delivery" << "cut-command";
        QTest::newRow("selector then form") << QByteArray("\x1b[H5i") << true << false
                                            << "ESC [ H 5 i  cursor home (row 1, column 1), then printer "
                                               "controller on"
                                            << "";
        QTest::newRow("numeric parameter") << QByteArray("\x1b[2J") << true << false
                                           << "ESC [  no command: what follows is shown as text" << "";
        QTest::newRow("Cr written for CR") << QByteArray("\x02" "DAB\rC\x03") << false << false
                                           << "STX \"D\" \"AB\" CR \"C\" ETX  text \"AB\" CR \"C\" at row 1, column 1"
                                           << "";
        QTest::newRow("plain C takes its ETX") << QByteArray("\x02" "C105\x03") << false << false
                                               << "STX \"C\" \"105\" ETX  cursor to row 2, column 6" << "";
        QTest::newRow("C cut short") << QByteArray("\x02" "C1") << false << false
                                     << "STX \"C\" \"1\"  cursor operands are not numbers ('' is not a valid integer "
                                        "value): the rest of the delivery (0 bytes) is not processed, cut by the "
                                        "end of the delivery"
                                     << "cut-command";
        QTest::newRow("Comutadora L takes its ETX") << QByteArray("\x02L00\x03\x02") << false << true
                                                    << "STX \"L\" \"00\" ETX  clear the display" << "";
        QTest::newRow("plain T takes two bytes") << QByteArray("\x02TXY\x02L\x03") << false << false
                                                 << "STX \"T\" 'X' 'Y'  status query: status frame 02 1b 80 54 03"
                                                 << "";
        QTest::newRow("O with DLE") << QByteArray("\x02O\x10\x03") << false << false
                                    << "STX \"O\" 10 ETX  cursor one column back, to column 0" << "";
        QTest::newRow("G all off") << QByteArray("\x02G0\x03") << false << false
                                   << "STX \"G\" '0' ETX  all LEDs off" << "";
        QTest::newRow("P cut") << QByteArray("\x02P") << false << false
                               << "STX \"P\"  printer ready: reply 02 1b 01 50 03, nothing to print, cut by the end "
                                  "of the delivery"
                               << "cut-command";
        QTest::newRow("STX at the end") << QByteArray("\x02") << false << false
                                        << "STX  nothing done, cut by the end of the delivery" << "cut-command";
    }
    void wordsAndWarnings()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, vt100);
        QFETCH(bool, comutadora);
        QFETCH(QString, words);
        QFETCH(QString, warning);
        const auto [gotWords, gotWarning] = named(bytes, vt100, comutadora);
        QCOMPARE(gotWords, words);
        QCOMPARE(gotWarning, warning);
    }

    void printerControllerRuns()
    {
        CommandScene scene;
        scene.printDestination = 'r';
        scene.scaleAnswers = true;
        scene.serialRelay = true;
        QCOMPARE(named(QByteArray("A\x05\x1b[4i"), true, false, scene, true).first,
                 QStringLiteral("\"A\" ENQ  2 bytes to the serial interface (printer controller) and the PC COM "
                                "port; the scale answers each ENQ"));
        scene.printDestination = 0;
        QCOMPARE(named(QByteArray("AB"), true, false, scene, true).first,
                 QStringLiteral("\"AB\"  2 bytes to nowhere (bytes dropped) (printer controller)"));
    }

    void aFoldNamesItsLastCommandWhereTheTerminalRanIt()
    {
        // A fold names its last command from what that command found: the
        // display must agree at the last of them.
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
        TerminalState state;
        state.protocolKind = TerminalState::kZorvane;
        DisplayModel display;
        Outputs outputs(state);
        RecordingSender sender;
        NoStatus status;
        HostInterpreter replay(state, display, outputs, sender, status);
        replay.InterpretHostData(flood.left(flood.lastIndexOf("\x02" "D")));
        QVERIFY2(fold.text.contains(
                     QStringLiteral("at row %1, column %2").arg(display.CursorRow()).arg(display.CursorCol())),
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
