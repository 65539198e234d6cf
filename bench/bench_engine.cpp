// Throughput of host data through the terminal engine, without any window:
// each iteration hands one delivery of about 64 KiB to InterpretHostData.

#include "engine/display_model.h"
#include "engine/host_interpreter.h"
#include "engine/outputs.h"
#include "engine/ports.h"
#include "engine/terminal_state.h"

#include <benchmark/benchmark.h>

#include <QByteArray>

namespace {

constexpr int kDeliverySize = 64 * 1024;

class NullSender : public HostSender {
public:
    void SendToHost(const QByteArray &bytes) override { benchmark::DoNotOptimize(bytes.size()); }
};

class NullStatus : public StatusReporter {
public:
    void StatusReport() override {}
};

struct Engine {
    explicit Engine(int protocol)
    {
        state.protocolKind = protocol;
        // A receiver, as the main window has one, so the signals are not free.
        QObject::connect(&display, &DisplayModel::viewChanged, [this] { ++repaints; });
        QObject::connect(&outputs, &Outputs::parallelChanged, [this] { ++repaints; });
    }
    TerminalState state;
    DisplayModel display;
    Outputs outputs{state};
    NullSender sender;
    NullStatus status;
    HostInterpreter interpreter{state, display, outputs, sender, status};
    long repaints = 0;
};

QByteArray repeatTo(const QByteArray &unit, int size)
{
    QByteArray out;
    while (out.size() < size)
        out += unit;
    return out;
}

const QByteArray kText = "The quick brown fox jumps over the lazy dog 0123456789";

void run(benchmark::State &bench, Engine &engine, const QByteArray &delivery)
{
    for (auto _ : bench)
        engine.interpreter.InterpretHostData(delivery);
    bench.SetBytesProcessed(static_cast<int64_t>(bench.iterations()) * delivery.size());
    benchmark::DoNotOptimize(engine.display.DisplayLine1().constData());
}

void BM_Vt100PlainText(benchmark::State &bench)
{
    Engine engine(TerminalState::kVt100);
    run(bench, engine, repeatTo(kText, kDeliverySize));
}

void BM_Vt100TextLines(benchmark::State &bench)
{
    Engine engine(TerminalState::kVt100);
    run(bench, engine, repeatTo(kText.left(38) + "\r\n", kDeliverySize));
}

// Cursor positioning, erase and back-steps between every 40 bytes of text.
void BM_Vt100CursorAndErase(benchmark::State &bench)
{
    Engine engine(TerminalState::kVt100);
    const QByteArray unit = "\x1b[01;01H" + kText.left(40) + "\x1b[02;05H\x1b[K" + kText.left(40) + "\x1b[D\x1b[J";
    run(bench, engine, repeatTo(unit, kDeliverySize));
}

void BM_ZorvaneTextFrames(benchmark::State &bench)
{
    Engine engine(TerminalState::kZorvane);
    run(bench, engine, repeatTo("\x02" "D" + kText.left(38) + "\x03", kDeliverySize));
}

// Printer-controller output of text lines into the bounded parallel log.
void BM_PrinterControllerToParallel(benchmark::State &bench)
{
    Engine engine(TerminalState::kVt100);
    engine.interpreter.InterpretHostData("\x1b[?25l\x1b[5i");
    run(bench, engine, repeatTo(kText.left(38) + "\r\n", kDeliverySize));
}

} // namespace

BENCHMARK(BM_Vt100PlainText);
BENCHMARK(BM_Vt100TextLines);
BENCHMARK(BM_Vt100CursorAndErase);
BENCHMARK(BM_ZorvaneTextFrames);
BENCHMARK(BM_PrinterControllerToParallel);

BENCHMARK_MAIN();
