// Throughput of the two receive-path stages that every host byte can pass
// before the interpreter: the Comutadora address filter and the Telnet
// decoder, each fed one read of 1 MiB of mixed data.

#include "link/comutadora_filter.h"
#include "link/telnet_decoder.h"

#include <benchmark/benchmark.h>

#include <QByteArray>

namespace
{

constexpr int kReadSize = 1024 * 1024;

const QByteArray kText = "The quick brown fox jumps over the lazy dog 0123456789";

QByteArray repeatTo(const QByteArray &unit, int size)
{
    QByteArray out;
    out.reserve(size + unit.size());
    while (out.size() < size)
        out += unit;
    out.truncate(size);
    return out;
}

// What a concentrator carries: text frames for terminal 00 and for two other
// terminals, short command frames, and line noise between frames.
QByteArray concentratorTraffic()
{
    const QByteArray unit = "\x02"
                            "D00" +
                            kText.left(38) + "\x03" +
                            "\x02"
                            "D01" +
                            kText.left(38) + "\x03" +
                            "\x02"
                            "G00\x05\x03" +
                            "\r\n" +
                            "\x02"
                            "D17" +
                            kText.left(20) + "\x03" +
                            "\x02"
                            "P00A\x03" +
                            "\x02"
                            "C00"
                            "105\x03";
    return repeatTo(unit, kReadSize);
}

// A Telnet host's stream: text lines with a doubled IAC now and then, NOPs,
// option requests that are answered and a terminal-type subnegotiation.
QByteArray telnetTraffic()
{
    const QByteArray iac(1, '\xff');
    const QByteArray unit = kText.left(38) + "\r\n" + kText.left(20) + iac + iac + kText.left(19) + "\r\n" +
                            iac + '\xf1' + kText.left(40) + iac + '\xfd' + '\x18' + kText.left(30) +
                            "\x1b[02;05H" + iac + '\xfa' + '\x18' + '\x01' + iac + '\xf0' + iac + '\xfb' +
                            '\x05' + kText.left(38) + "\r\n";
    return repeatTo(unit, kReadSize);
}

void BM_ComutadoraFilter(benchmark::State &bench)
{
    const QByteArray read = concentratorTraffic();
    qsizetype kept = 0;
    for (auto _ : bench) {
        const QByteArray passed = ComutadoraFilter(read);
        kept = passed.size();
        benchmark::DoNotOptimize(passed.constData());
    }
    bench.SetBytesProcessed(static_cast<int64_t>(bench.iterations()) * read.size());
    bench.counters["kept"] = static_cast<double>(kept) / static_cast<double>(read.size());
}

void BM_TelnetDecoder(benchmark::State &bench)
{
    const QByteArray read = telnetTraffic();
    qsizetype answered = 0;
    TelnetDecoder decoder([&answered](const QByteArray &answer) { answered += answer.size(); },
                          [] { return QByteArrayLiteral("vt100"); });
    qsizetype kept = 0;
    for (auto _ : bench) {
        const QByteArray decoded = decoder.feed(read);
        kept = decoded.size();
        benchmark::DoNotOptimize(decoded.constData());
    }
    bench.SetBytesProcessed(static_cast<int64_t>(bench.iterations()) * read.size());
    bench.counters["kept"] = static_cast<double>(kept) / static_cast<double>(read.size());
    benchmark::DoNotOptimize(answered);
}

} // namespace

BENCHMARK(BM_ComutadoraFilter)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TelnetDecoder)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
