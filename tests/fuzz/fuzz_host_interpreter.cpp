// The host's data path into the terminal engine: the Comutadora filter and the
// Telnet decoder as the receive path applies them, then the command interpreter
// on the display model, in both dialects and both framings.
//
// Input: one byte of settings (protocol, Comutadora framing, Busy, CTS, relay),
// one byte saying where the data is cut into two deliveries, then the data.
// Besides "no crash" the harness checks that the display lines stay exactly 40
// bytes with their terminator intact, that the printer logs stay bounded, that
// every reply is one of the known frames and that replies and scale requests
// never outnumber the commands that ask for them. The plain-text path of the
// display is also compared with a byte-by-byte model of its writing rules.
// A ConversionError (a cursor command without numbers) is an expected outcome.

#include "fuzz_check.h"

#include "engine/display_model.h"
#include "engine/errors.h"
#include "engine/host_interpreter.h"
#include "engine/outputs.h"
#include "engine/ports.h"
#include "engine/terminal_state.h"
#include "link/comutadora_filter.h"
#include "link/telnet_decoder.h"

#include <QList>

namespace {

struct Recorder : HostSender, StatusReporter, ComPortWriter, EnqResponder {
    void SendToHost(const QByteArray &bytes) override { sends.append(bytes); }
    void StatusReport() override { ++statusReports; }
    bool writeToPort(const QByteArray &bytes) override
    {
        relayed += bytes.size();
        return true;
    }
    void answerEnq() override { ++enqAnswers; }

    QList<QByteArray> sends;
    int statusReports = 0;
    qsizetype relayed = 0;
    int enqAnswers = 0;
};

bool lineIntact(const QByteArray &line)
{
    return line.size() == DisplayModel::kColumns && line.constData()[DisplayModel::kColumns] == '\0';
}

bool viewIntact(const QByteArray &view)
{
    return view.isEmpty() || view.size() == DisplayModel::kColumns;
}

bool knownReply(const QByteArray &reply, bool comutadora)
{
    const QByteArray address = comutadora ? QByteArray("00") : QByteArray();
    for (const char status : {'\x01', '\x80'})
        for (const char letter : {'P', 'S'})
            if (reply == "\x02\x1b" + address + status + letter + '\x03')
                return true;
    return false;
}

// The writing rules of the display, one byte at a time: a back-space steps back
// (from column 1 to the end of the other line) and blanks that cell; any other
// byte wraps to the other line past column 40 and is stored at the cursor.
struct DisplayReference {
    QByteArray lines[2] = {QByteArray(40, ' '), QByteArray(40, ' ')};
    int row = 1;
    int col = 1;

    QByteArray &line() { return lines[row == 1 ? 0 : 1]; }
    void toggle() { row = row == 1 ? 2 : 1; }

    void write(char b)
    {
        if (b == '\b') {
            col = col < 1 ? 1 : (col > 41 ? 41 : col);
            if (--col == 0) {
                toggle();
                col = 40;
            }
            line()[col - 1] = ' ';
            return;
        }
        if (col > 40) {
            toggle();
            col = 1;
        } else if (col < 1) {
            col = 1;
        }
        line()[col - 1] = b;
        ++col;
    }
};

// Plain text in pieces of the sizes the data itself gives, from a cursor the
// data places anywhere, including far outside the display.
void compareWithReference(const QByteArray &data)
{
    if (data.size() < 2)
        return;
    DisplayModel display;
    DisplayReference reference;
    const int startCol = static_cast<signed char>(data[0]);
    const int startRow = static_cast<unsigned char>(data[1]) & 1 ? 2 : 1;
    display.setCursorRow(startRow);
    display.setCursorCol(startCol);
    reference.row = startRow;
    reference.col = startCol;
    qsizetype pos = 2;
    while (pos < data.size()) {
        const qsizetype piece = 1 + static_cast<unsigned char>(data[pos]) % 97;
        const QByteArray text = data.mid(pos, piece);
        display.WriteText(text);
        for (const char b : text)
            reference.write(b);
        pos += piece;
        FUZZ_CHECK(display.DisplayLine1() == reference.lines[0]);
        FUZZ_CHECK(display.DisplayLine2() == reference.lines[1]);
        FUZZ_CHECK(display.CursorRow() == reference.row);
        FUZZ_CHECK(display.CursorCol() == reference.col);
        FUZZ_CHECK(display.view1() == display.DisplayLine1());
        FUZZ_CHECK(display.view2() == display.DisplayLine2());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const unsigned settings = data[0];
    const QByteArray stream = fuzzBytes(data + 2, size - 2);

    TerminalState state;
    state.comutadoraMode = settings & 0x04;
    // The Comutadora speaks only the framed protocol.
    state.protocolKind = state.comutadoraMode ? TerminalState::kZorvane : static_cast<int>(settings % 3);
    state.busy = settings & 0x08;
    state.cts = settings & 0x10;
    state.serialRelayEnabled = settings & 0x20;
    DisplayModel display;
    Outputs outputs(state);
    Recorder recorder;
    outputs.setComPort(&recorder);
    outputs.setEnqResponder(&recorder);
    HostInterpreter interpreter(state, display, outputs, recorder, recorder);
    QList<QByteArray> telnetAnswers;
    TelnetDecoder decoder([&](const QByteArray &answer) { telnetAnswers.append(answer); },
                          [] { return QByteArrayLiteral("vt100"); });

    qsizetype commandsAsked = 0; // STX bytes reaching the interpreter: each frame may answer once
    qsizetype enqBytes = 0;
    auto deliver = [&](const QByteArray &read) {
        QByteArray bytes = state.comutadoraMode ? ComutadoraFilter(read) : read;
        if (state.telnetDecoding())
            bytes = decoder.feed(bytes);
        commandsAsked += bytes.count('\x02');
        enqBytes += bytes.count('\x05');
        try {
            interpreter.InterpretHostData(bytes);
        } catch (const ConversionError &) {
        }
        FUZZ_CHECK(lineIntact(display.DisplayLine1()));
        FUZZ_CHECK(lineIntact(display.DisplayLine2()));
        FUZZ_CHECK(viewIntact(display.view1()));
        FUZZ_CHECK(viewIntact(display.view2()));
        FUZZ_CHECK(outputs.parallelLog().size() <= static_cast<size_t>(Outputs::kMaxLogLines));
        FUZZ_CHECK(outputs.serialLog().size() <= static_cast<size_t>(Outputs::kMaxLogLines));
        FUZZ_CHECK(outputs.ParallelLine().size() < Outputs::kMaxLineLength);
        for (const QByteArray &line : outputs.parallelLog())
            FUZZ_CHECK(line.size() < Outputs::kMaxLineLength + 5);
    };

    const qsizetype cut = stream.isEmpty() ? 0 : data[1] % (stream.size() + 1);
    deliver(stream.left(cut));
    deliver(stream.mid(cut));

    // Replies: one known frame per P or S command at most; no echo of host data.
    for (const QByteArray &reply : recorder.sends)
        FUZZ_CHECK(knownReply(reply, state.comutadoraMode));
    FUZZ_CHECK(recorder.sends.size() + recorder.statusReports <= commandsAsked);
    FUZZ_CHECK(recorder.enqAnswers <= enqBytes);
    FUZZ_CHECK(recorder.relayed <= stream.size());
    FUZZ_CHECK(telnetAnswers.size() <= 2 * stream.count('\xff'));
    if (state.vt100CommandSet())
        FUZZ_CHECK(recorder.sends.isEmpty() && recorder.statusReports == 0);

    // Whatever came before, the terminal still obeys a well-formed command.
    if (decoder.state() == TelnetDecoder::State::Data) {
        const QByteArray address = state.comutadoraMode ? QByteArray("00") : QByteArray();
        if (state.vt100CommandSet()) {
            deliver("\x1b[4i\x1b[JAB");
            FUZZ_CHECK(display.DisplayLine1() == "AB" + QByteArray(38, ' '));
            FUZZ_CHECK(display.CursorRow() == 1 && display.CursorCol() == 3);
        } else {
            const qsizetype before = recorder.sends.size();
            deliver("\x02P" + address + "A\x03");
            FUZZ_CHECK(recorder.sends.size() == before + 1);
            const char status = state.busy ? '\x80' : '\x01';
            FUZZ_CHECK(recorder.sends.last() == "\x02\x1b" + address + status + "P\x03");
        }
    }

    compareWithReference(stream);
    return 0;
}
