// The trace's naming of host data: the command interpreter runs on the input
// while the trace's decoder names each command it announces, with words.
//
// Input: one byte of settings (protocol, Comutadora framing, Busy, CTS, and
// whether the trace folds: decodes without words), then the data.
// Besides "no crash" the harness checks that the decoder ends every command
// where the interpreter ends it (an ETX that the interpreter drops after a
// frame may be counted with the frame), that it always moves forward, that a
// delivery run to its end is covered exactly, and that decoding without words
// gives the same extent and warning. The same bytes are also named as a
// Telnet command.

#include "fuzz_check.h"

#include "engine/display_model.h"
#include "engine/errors.h"
#include "engine/host_interpreter.h"
#include "engine/outputs.h"
#include "engine/ports.h"
#include "engine/terminal_observer.h"
#include "engine/terminal_state.h"
#include "trace/host_command_decoder.h"
#include "trace/telnet_words.h"

namespace {

struct Watcher : HostSender, StatusReporter, TerminalObserver {
    void SendToHost(const QByteArray &) override {}
    void StatusReport() override {}

    TerminalState state;
    DisplayModel display;
    Outputs outputs{state};
    HostInterpreter interpreter{state, display, outputs, *this, *this};
    qsizetype predicted = 0;

    void hostCommandStarts(const QByteArray &delivery, qsizetype offset) override
    {
        if (offset < predicted)
            return;
        FUZZ_CHECK(offset == predicted);
        HostCommandDecoder::Context context;
        context.vt100 = state.vt100CommandSet();
        context.comutadora = state.comutadoraMode;
        context.busy = state.busy;
        context.cts = state.cts;
        context.printerControllerOn = interpreter.PrinterControllerOn();
        context.printDestination = interpreter.PrintDestination();
        context.row = display.CursorRow();
        context.col = display.CursorCol();
        const auto full = HostCommandDecoder::decode(delivery, offset, context, true);
        const auto quick = HostCommandDecoder::decode(delivery, offset, context, false);
        FUZZ_CHECK(full.length > 0 && offset + full.length <= delivery.size());
        FUZZ_CHECK(quick.length == full.length && quick.warning == full.warning && quick.shape == full.shape);
        FUZZ_CHECK(!full.words.isEmpty());
        predicted = offset + full.length;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t settings = data[0];
    const QByteArray delivery = fuzzBytes(data + 1, size - 1);
    Watcher watcher;
    watcher.state.protocolKind = (settings & 1) ? TerminalState::kZorvane : TerminalState::kVt100;
    watcher.state.comutadoraMode = (settings & 2) != 0;
    watcher.state.busy = (settings & 4) != 0;
    watcher.state.cts = (settings & 8) != 0;
    watcher.state.observer = &watcher;
    bool finished = true;
    try {
        watcher.interpreter.InterpretHostData(delivery);
    } catch (const AppError &) {
        finished = false;
    }
    FUZZ_CHECK(!finished || watcher.predicted == delivery.size());
    (void)telnetwords::command(delivery);
    return 0;
}
