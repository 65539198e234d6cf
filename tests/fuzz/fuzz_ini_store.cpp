// The INI store on any file a user could have edited by hand. A write followed
// by a read gives back the value as a profile read returns it (trimmed, one
// pair of quotes removed, at most 2047 bytes); every other key keeps its value,
// and every byte of the file outside the one line written (or the lines
// appended) is unchanged. Integers written are read back as themselves.
//
// Input: one byte choosing the section and key written, then the value up to
// the first 0x00 byte, then the file's text.

#include "fuzz_check.h"

#include "shell/ini_store.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

namespace {

struct ScratchFile {
    ScratchFile()
    {
        // A memory-backed folder keeps each run fast; the store writes a temporary file beside it.
        const QString folder = QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
        path = folder + QStringLiteral("/fuzz_ini_%1.ini").arg(QCoreApplication::applicationPid());
    }
    ~ScratchFile() { QFile::remove(path); }
    QString path;
};

struct Name {
    const char *section;
    const char *key;
};

// The names the emulator uses, in the letter cases a hand-edited file may hold.
constexpr Name kNames[] = {
    {"Config", "Porta"},        {"Config", "Endereco"}, {"config", "PROTOCOLO"},
    {"Config", "Inicializacao"}, {"CodigoBarras", "Delai"}, {"CODIGOBARRAS", "Cofig_Leitor"},
    {"Serial", "Porta"},        {"Serial", "Baud_Rate"}, {"Inputs", "0"},
};
constexpr int kNameCount = static_cast<int>(sizeof(kNames) / sizeof(kNames[0]));

bool sameName(const char *a, const char *b)
{
    return QByteArray(a).toLower() == QByteArray(b).toLower();
}

QByteArray expectedRead(QByteArray value)
{
    for (const char stop : {'\r', '\n', '\0'})
        if (const qsizetype at = value.indexOf(stop); at >= 0)
            value.truncate(at);
    value = value.trimmed();
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.mid(1, value.size() - 2);
    return value.left(IniStore::kMaxValueLength);
}

void writeFile(const QString &path, const QByteArray &text)
{
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(file.write(text) == text.size());
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::ReadOnly));
    return file.readAll();
}

// The file after a write differs from the file before in one stretch only: the
// text of one line, or lines added at one place.
void checkOnlyOneLineChanged(const QByteArray &before, const QByteArray &after)
{
    qsizetype prefix = 0;
    while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix])
        ++prefix;
    qsizetype suffix = 0;
    while (suffix < before.size() - prefix && suffix < after.size() - prefix &&
           before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
        ++suffix;
    const QByteArray removed = before.mid(prefix, before.size() - prefix - suffix);
    const QByteArray added = after.mid(prefix, after.size() - prefix - suffix);
    FUZZ_CHECK(!removed.contains('\n'));
    if (!removed.isEmpty())
        FUZZ_CHECK(!added.contains('\n'));
    FUZZ_CHECK(added.count('\n') <= 3);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    static const ScratchFile scratch;
    const QString &path = scratch.path;

    const Name &name = kNames[data[0] % kNameCount];
    const QByteArray rest = fuzzBytes(data + 1, size - 1);
    const qsizetype split = rest.indexOf('\0');
    const QByteArray value = split < 0 ? QByteArray() : rest.left(split);
    const QByteArray text = split < 0 ? rest : rest.mid(split + 1);

    writeFile(path, text);
    IniStore store(path);
    QByteArray others[kNameCount];
    for (int i = 0; i < kNameCount; ++i)
        others[i] = store.readString(kNames[i].section, kNames[i].key, "\x01missing");

    store.writeString(name.section, name.key, value);
    const QByteArray after = readFile(path);
    checkOnlyOneLineChanged(text, after);
    FUZZ_CHECK(store.readString(name.section, name.key, "\x01missing") == expectedRead(value));
    for (int i = 0; i < kNameCount; ++i) {
        if (sameName(kNames[i].section, name.section) && sameName(kNames[i].key, name.key))
            continue;
        FUZZ_CHECK(store.readString(kNames[i].section, kNames[i].key, "\x01missing") == others[i]);
    }

    // The same key as an integer: the value written is the value read.
    const int number = static_cast<int>(static_cast<quint32>(qChecksum(QByteArrayView(rest))) * 0x9E3779B1u);
    store.writeInteger(name.section, name.key, number);
    FUZZ_CHECK(store.readInteger(name.section, name.key, number ^ 1) == number);
    int parsed = 0;
    FUZZ_CHECK(IniStore::parseInteger(QByteArray::number(number), &parsed) && parsed == number);
    return 0;
}
