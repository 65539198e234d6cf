// Replaying a long conversation: the real program replays a file of n (1,000)
// steps, each a key and what the host shows for it, against a loopback host
// that answers every key at once. The figure is the whole run of
// "ethernet --replay", from the start of the process to its exit (reading and
// checking the file, the connection, every wait and action), best of a few
// runs, and the time per step.
// Usage: bench_replay [steps] [runs]

#include "support/figures.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

namespace {

// What the host shows after its n-th key: the display cleared, then the count.
QByteArray screenFor(int n)
{
    return "\x02L\x03\x02" "D" + QByteArray("Passo ") + QByteArray::number(n) + '\x03';
}

QByteArray conversationOf(int steps)
{
    QByteArray file = R"({"conversation":1,"program":"ethernet","settings":{"protocol":"zorvane","role":"client"}})"
                      "\n";
    const char keys[] = "0123456789";
    for (int i = 0; i < steps; ++i) {
        file += R"({"expect":{"display":["Passo )" + QByteArray::number(i) + R"(",""],"printer":[],"serial":[]}})" "\n";
        file += R"({"do":"key","key":")" + QByteArray(1, keys[i % 10]) + "\"}\n";
    }
    file += R"({"expect":{"display":["Passo )" + QByteArray::number(steps) + R"(",""]}})" "\n";
    return file;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int steps = argc > 1 ? QByteArray(argv[1]).toInt() : 1000;
    const int runs = argc > 2 ? QByteArray(argv[2]).toInt() : 3;
    QTemporaryDir folder;
    QTcpServer host;
    if (steps < 1 || runs < 1 || !folder.isValid() || !host.listen(QHostAddress::LocalHost, 0)) {
        std::fprintf(stderr, "bench_replay: cannot set up\n");
        return 1;
    }
    // The host answers each key at once; each session starts from 0.
    QObject::connect(&host, &QTcpServer::newConnection, &host, [&host] {
        while (QTcpSocket *terminal = host.nextPendingConnection()) {
            auto count = std::make_shared<int>(0);
            terminal->write(screenFor(0));
            QObject::connect(terminal, &QTcpSocket::readyRead, terminal, [terminal, count] {
                for (qsizetype i = terminal->readAll().size(); i > 0; --i)
                    terminal->write(screenFor(++*count));
            });
            QObject::connect(terminal, &QTcpSocket::disconnected, terminal, &QObject::deleteLater);
        }
    });
    QFile config(folder.filePath(QStringLiteral("Config.ini")));
    QFile file(folder.filePath(QStringLiteral("long.jsonl")));
    if (!config.open(QIODevice::WriteOnly) || !file.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "bench_replay: cannot write the folder\n");
        return 1;
    }
    config.write("[Config]\r\nPorta=" + QByteArray::number(host.serverPort()) +
                 "\r\nEndereco=127.0.0.1\r\nProtocolo=1\r\nConexao=1\r\nInicializacao=0\r\n"
                 "[CodigoBarras]\r\nCofig_Leitor=1\r\nDelai=10\r\n");
    config.close();
    file.write(conversationOf(steps));
    file.close();

    std::printf("replay of a %d-step conversation, loopback host answering at once (%s, load %s)\n", steps,
                qPrintable(figures::machine()), qPrintable(figures::loadAverage()));
    double best = -1;
    for (int run = 0; run < runs; ++run) {
        QProcess replay;
        replay.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QElapsedTimer clock;
        clock.start();
        replay.start(QStringLiteral(EMULATOR_BINARY),
                     {QStringLiteral("--replay"), file.fileName(), QStringLiteral("--folder"), folder.path()});
        QObject::connect(&replay, &QProcess::finished, &app, &QCoreApplication::quit);
        QCoreApplication::exec();
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        const QByteArray out = replay.readAllStandardOutput();
        if (replay.exitStatus() != QProcess::NormalExit || replay.exitCode() != 0) {
            std::fprintf(stderr, "bench_replay: the replay failed (status %d): %s\n", replay.exitCode(),
                         out.constData());
            return 1;
        }
        // "PASS FILE: n of n expectations met in T ms": every step was waited for and met.
        const QByteArray met = QByteArray::number(steps + 1) + " of " + QByteArray::number(steps + 1);
        if (!out.startsWith("PASS ") || !out.contains(met)) {
            std::fprintf(stderr, "bench_replay: unexpected result: %s\n", out.constData());
            return 1;
        }
        std::printf("  run %d: %.0f ms (%.2f ms a step): %s", run + 1, ms, ms / steps, out.constData());
        best = best < 0 ? ms : std::min(best, ms);
    }
    std::printf("best: %.0f ms for %d steps; target < 2000 ms for 1,000 steps: %s\n", best, steps,
                steps == 1000 ? (best < 2000 ? "met" : "MISSED") : "not this size");
    return 0;
}
