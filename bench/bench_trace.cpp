// The cost of tracing a flood, in the process: a whole terminal takes host data
// in 4 KiB deliveries (the reads of bench_end_to_end), untraced and traced, the
// trace's records written in the text format into a buffer as a trace file
// would get them (Google Benchmark). The end of each read closes the fold of
// its commands, as in the program.

#include "engine/host_interpreter.h"
#include "engine/prompts.h"
#include "terminal/terminal.h"
#include "trace/trace_format.h"
#include "trace/tracer.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QTemporaryDir>

#include <memory>

namespace {

constexpr int kReadSize = 4096;
constexpr int kReadsPerIteration = 16;
constexpr qsizetype kBufferBytes = 256 * 1024;

class QuietPrompts : public Prompts {
public:
    void showMessage(const QString &, const QString &, Icon) override {}
    std::optional<QString> inputBox(const QString &, const QString &, const QString &) override
    {
        return std::nullopt;
    }
    void requestTerminate() override {}
};

const QByteArray kText = "The quick brown fox jumps over the lazy dog 0123456789";

QByteArray repeatTo(const QByteArray &unit, int size)
{
    QByteArray out;
    while (out.size() < size)
        out += unit;
    return out.left(size);
}

void run(benchmark::State &bench, int protocol, const QByteArray &unit, bool traced)
{
    QTemporaryDir folder;
    QuietPrompts prompts;
    Terminal terminal(folder.path(), prompts, [] { return QStringLiteral("127.0.0.1"); });
    terminal.state().protocolKind = protocol;
    // Written as TraceSession writes its file: a buffer of kBufferBytes at a time.
    QByteArray written;
    written.reserve(2 * kBufferBytes);
    qint64 records = 0;
    std::unique_ptr<Tracer> tracer;
    if (traced)
        tracer = std::make_unique<Tracer>(terminal, [&](const TraceRecord &record) {
            traceformat::appendText(written, record);
            ++records;
            if (written.size() >= kBufferBytes)
                written.truncate(0);
        });
    const QByteArray stream = repeatTo(unit, kReadSize * kReadsPerIteration);
    for (auto _ : bench) {
        for (int i = 0; i < kReadsPerIteration; ++i) {
            terminal.interpreter().InterpretHostData(stream.mid(i * kReadSize, kReadSize));
            if (tracer)
                tracer->flush();
        }
    }
    bench.SetBytesProcessed(static_cast<int64_t>(bench.iterations()) * stream.size());
    bench.counters["records/read"] =
        benchmark::Counter(double(records) / double(bench.iterations() * kReadsPerIteration));
}

const QByteArray kFrame = "\x02" "D" + kText.left(40) + "\x03";
const QByteArray kLine = kText.left(38) + "\r\n";

void BM_ZorvaneFramesUntraced(benchmark::State &bench)
{
    run(bench, TerminalState::kZorvane, kFrame, false);
}

void BM_ZorvaneFramesTraced(benchmark::State &bench)
{
    run(bench, TerminalState::kZorvane, kFrame, true);
}

void BM_Vt100LinesUntraced(benchmark::State &bench)
{
    run(bench, TerminalState::kVt100, kLine, false);
}

void BM_Vt100LinesTraced(benchmark::State &bench)
{
    run(bench, TerminalState::kVt100, kLine, true);
}

} // namespace

BENCHMARK(BM_ZorvaneFramesUntraced);
BENCHMARK(BM_ZorvaneFramesTraced);
BENCHMARK(BM_Vt100LinesUntraced);
BENCHMARK(BM_Vt100LinesTraced);

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
