// The markers of a playback input, applied tick after tick until the input is
// used up, and the script itself read from a "Digitacoes.ini" made of the
// fuzzed bytes. Every tick shortens the input, a key tick sends exactly one
// character, a burst ends the input, the characters sent never outnumber the
// input's (an end marker turns four into one CR), and an input without "<" is
// typed exactly as written, one character per tick.

#include "fuzz_check.h"

#include "inputs/playback_markers.h"
#include "shell/ini_store.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

namespace {

void playInput(QByteArray input)
{
    const QByteArray original = input;
    QByteArray sent;
    qsizetype ticks = 0;
    while (!input.isEmpty()) {
        const qsizetype before = input.size();
        const PlaybackStep step = takePlaybackStep(input);
        ++ticks;
        FUZZ_CHECK(step.kind != PlaybackStep::Kind::Nothing);
        FUZZ_CHECK(input.size() < before);
        if (step.kind == PlaybackStep::Kind::Key)
            FUZZ_CHECK(step.bytes.size() == 1);
        else
            FUZZ_CHECK(input.isEmpty());
        sent += step.bytes;
    }
    FUZZ_CHECK(takePlaybackStep(input).kind == PlaybackStep::Kind::Nothing);
    FUZZ_CHECK(ticks <= original.size());
    FUZZ_CHECK(sent.size() <= original.size());
    if (!original.contains('<')) {
        FUZZ_CHECK(sent == original);
        FUZZ_CHECK(ticks == original.size());
    }
}

// A file in a memory-backed folder, so the file work does not dominate the run;
// removed when the run ends.
struct ScratchFile {
    ScratchFile()
    {
        const QString folder = QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
        path = folder + QStringLiteral("/fuzz_playback_%1.ini").arg(QCoreApplication::applicationPid());
    }
    ~ScratchFile() { QFile::remove(path); }
    QString path;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = fuzzBytes(data, size);
    playInput(bytes);

    // The same bytes as a script: the values read back are what playback types.
    static const ScratchFile scratch;
    const QString &path = scratch.path;
    {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[Parametros]\r\nNumero_de_Inputs=3\r\n[Inputs]\r\n");
        file.write(bytes);
    }
    const IniStore script(path);
    for (int i = 0; i < 3; ++i) {
        const QByteArray input = script.readString("Inputs", QByteArray::number(i), QByteArray());
        FUZZ_CHECK(input.size() <= IniStore::kMaxValueLength);
        FUZZ_CHECK(!input.contains('\n'));
        playInput(input);
    }
    return 0;
}
