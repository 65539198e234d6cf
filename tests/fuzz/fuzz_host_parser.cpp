// The host's bytes cut into commands, and the commands run: the parser of
// each dialect over any bytes, then the interpreter over the same bytes with
// a watcher that names every command it is told of, as the trace does.
//
// Input: one byte of settings (dialect, Comutadora framing, printer
// controller, Busy), then the delivery. The delivery lies in a buffer of
// exactly its size, so AddressSanitizer stops any read past it, by the parser,
// by the interpreter executing its commands or by the trace naming them.
// Checked besides: every byte belongs to exactly one command (each begins
// where the one before ended, takes at least one byte, and the extents add up
// to the delivery); operands lie inside their command; a command's kind
// agrees with its first byte and what it lost with where it ends; converted
// cursor operands are the values MoveCursor would get; the interpreter reports
// exactly the commands the parser cuts, under one number per delivery, and
// stops only at a cursor command whose operands are not numbers.

#include "fuzz_check.h"

#include "engine/display_model.h"
#include "engine/errors.h"
#include "engine/host_interpreter.h"
#include "engine/host_parser.h"
#include "engine/outputs.h"
#include "engine/ports.h"
#include "engine/terminal_observer.h"
#include "engine/terminal_state.h"
#include "trace/command_words.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using Kind = HostCommand::Kind;
using Loss = HostCommand::Loss;

bool inside(const HostCommand &c, HostCommand::Span span)
{
    return span.size >= 0 && (span.size == 0 || (span.at >= c.begin && span.at + span.size <= c.end));
}

void checkCommand(const char *data, qsizetype size, qsizetype at, const HostCommand &c)
{
    FUZZ_CHECK(c.begin == at && c.end > c.begin && c.end <= size);
    FUZZ_CHECK(inside(c, c.text) && inside(c, c.address) && inside(c, c.row) && inside(c, c.col));
    FUZZ_CHECK(c.operand < 0 || (c.operand >= c.begin && c.operand < c.end));
    switch (c.kind) {
    case Kind::Text:
    case Kind::Printed:
        FUZZ_CHECK(std::memchr(data + c.begin, 0x1B, size_t(c.size())) == nullptr);
        FUZZ_CHECK(c.end == size || data[c.end] == 0x1B);
        break;
    case Kind::Escape:
        FUZZ_CHECK(data[c.begin] == 0x1B);
        break;
    case Kind::Strays:
        FUZZ_CHECK(c.loss == Loss::Strays && std::memchr(data + c.begin, 0x02, size_t(c.size())) == nullptr);
        FUZZ_CHECK(c.end == size || data[c.end] == 0x02);
        break;
    case Kind::Frame:
        FUZZ_CHECK(data[c.begin] == 0x02 && (c.size() == 1 || c.letter == data[c.begin + 1]));
        FUZZ_CHECK(!c.closed || data[c.end - 1] == 0x03);
        break;
    }
    if (c.loss == Loss::UnknownLetter)
        FUZZ_CHECK(c.kind == Kind::Frame && c.end == size);
    if (c.loss == Loss::Cut && c.kind == Kind::Frame)
        FUZZ_CHECK(c.end == size);
    if (c.loss == Loss::BadCursorOperands)
        FUZZ_CHECK(!c.numbers);
    if (c.numbers) {
        int row = 0;
        int col = 0;
        FUZZ_CHECK(tryStrToInt(data + c.row.at, c.row.size, &row) && row == c.rowNumber);
        FUZZ_CHECK(tryStrToInt(data + c.col.at, c.col.size, &col) && col == c.colNumber);
    }
}

struct Watcher : HostSender, StatusReporter, TerminalObserver {
    void SendToHost(const QByteArray &) override {}
    void StatusReport() override {}

    TerminalState state;
    DisplayModel display;
    Outputs outputs{state};
    HostInterpreter interpreter{state, display, outputs, *this, *this};
    std::vector<HostCommand> reported;
    quint64 sequence = 0;

    void hostCommandStarts(const HostDelivery &delivery, const HostCommand &command) override
    {
        if (reported.empty())
            sequence = delivery.sequence;
        FUZZ_CHECK(delivery.sequence == sequence);
        FUZZ_CHECK(command.begin == (reported.empty() ? 0 : reported.back().end));
        CommandScene scene;
        scene.row = display.CursorRow();
        scene.col = display.CursorCol();
        scene.comutadora = state.comutadoraMode;
        scene.busy = state.busy;
        scene.printDestination = interpreter.PrintDestination();
        const QString words = commandwords::words(delivery.bytes, command, scene);
        FUZZ_CHECK(!words.isEmpty());
        (void)commandwords::warning(delivery.bytes, command, scene);
        reported.push_back(command);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t inputSize)
{
    if (inputSize < 1)
        return 0;
    const uint8_t settings = input[0];
    const qsizetype size = qsizetype(inputSize - 1);
    // Exactly the delivery's bytes, nothing after them.
    char *data = static_cast<char *>(std::malloc(size_t(size) + (size == 0 ? 1 : 0)));
    std::memcpy(data, input + 1, size_t(size));
    const bool vt100 = (settings & 1) == 0;
    const bool comutadora = (settings & 2) != 0;
    const bool printer = (settings & 4) != 0;

    for (qsizetype at = 0; at < size;) {
        const HostCommand c =
            vt100 ? hostparser::vt100(data, at, size, printer) : hostparser::zorvane(data, at, size, comutadora);
        checkCommand(data, size, at, c);
        at = c.end;
    }

    Watcher watcher;
    watcher.state.protocolKind = vt100 ? TerminalState::kVt100 : TerminalState::kZorvane;
    watcher.state.comutadoraMode = comutadora;
    watcher.state.busy = (settings & 8) != 0;
    watcher.state.observer = &watcher;
    if (printer)
        watcher.interpreter.InterpretHostData("\x1b[?01l\x1b[5i");
    watcher.reported.clear();
    bool finished = true;
    try {
        watcher.interpreter.InterpretHostData(QByteArray::fromRawData(data, size));
    } catch (const ConversionError &) {
        finished = false;
    }
    if (finished) {
        FUZZ_CHECK(size == 0 || (!watcher.reported.empty() && watcher.reported.back().end == size));
    } else {
        const HostCommand &last = watcher.reported.back();
        FUZZ_CHECK(!last.numbers && (last.form == HostCommand::Form::Cursor || last.letter == 'C'));
    }
    std::free(data);
    return 0;
}
