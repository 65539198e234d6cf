#include "engine/errors.h"
#include "shell/config_file.h"
#include "shell/ini_store.h"

#include "common/recorders.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return file.readAll();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

const QString kErroFirstLine = QStringLiteral("Erro ao escrever no arquivo de configuração.");

// Makes every replacement of a file in one folder fail while it lives. Folder
// permissions do not stop root, so root gets a file size limit instead, which
// fails the write of the new copy the way a full disk does.
class FailingReplacement {
public:
    FailingReplacement(const QString &folder, qint64 currentFileSize)
        : m_folder(folder)
    {
        if (geteuid() != 0) {
            QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        } else {
            std::signal(SIGXFSZ, SIG_IGN);
            getrlimit(RLIMIT_FSIZE, &m_saved);
            rlimit limit = m_saved;
            limit.rlim_cur = static_cast<rlim_t>(currentFileSize);
            setrlimit(RLIMIT_FSIZE, &limit);
        }
    }
    ~FailingReplacement()
    {
        if (geteuid() != 0)
            QFile::setPermissions(m_folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                | QFileDevice::ExeOwner);
        else
            setrlimit(RLIMIT_FSIZE, &m_saved);
    }

private:
    QString m_folder;
    rlimit m_saved {};
};

} // namespace

class TestConfigFile : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QString path() const { return m_dir.filePath(QStringLiteral("Config.ini")); }

private slots:
    void init() { QFile::remove(path()); }

    void firstStartCreatesElevenValuesInOrder()
    {
        RecordingPrompts prompts;
        ConfigFile config(path(), prompts);
        QVERIFY(!config.exists());
        QVERIFY(config.writeFirstStartDefaults());
        QCOMPARE(readAll(path()), QByteArray("[Config]\r\nPorta=1001\r\nEndereco=127.0.0.1\r\n"
                                             "Protocolo=0\r\nConexao=1\r\n"
                                             "[CodigoBarras]\r\nCofig_Leitor=1\r\nDelai=10\r\n"
                                             "[Serial]\r\nPorta=1\r\nBaud_Rate=9600\r\nParidade=0\r\n"
                                             "NBits=0\r\nStop_Bit=0\r\n"));
        QVERIFY(prompts.messages.isEmpty());
    }

    void missingKeyStaysMissingAfterOtherWrites()
    {
        writeFile(path(), "[Config]\r\nPorta=1001\r\n[CodigoBarras]\r\nCofig_Leitor=2\r\n");
        RecordingPrompts prompts;
        ConfigFile config(path(), prompts);
        QVERIFY(config.writeConexao(0));
        QVERIFY(config.writeProtocolo(2));
        QVERIFY(config.writeInicializacao(true));
        QCOMPARE(config.readDelai(), 10);
        QCOMPARE(config.readEndereco(), QByteArray("127.0.0.1"));
        QCOMPARE(readAll(path()), QByteArray("[Config]\r\nPorta=1001\r\nConexao=0\r\nProtocolo=2\r\nInicializacao=1\r\n"
                                   "[CodigoBarras]\r\nCofig_Leitor=2\r\n"));
    }

    void inicializacaoOnThenOffStaysAsZero()
    {
        RecordingPrompts prompts;
        ConfigFile config(path(), prompts);
        QVERIFY(config.writeFirstStartDefaults());
        QVERIFY(config.writeInicializacao(true));
        QVERIFY(config.readInicializacao());
        QVERIFY(config.writeInicializacao(false));
        QVERIFY(!config.readInicializacao());
        QVERIFY(readAll(path()).contains("Conexao=1\r\nInicializacao=0\r\n[CodigoBarras]"));
    }

    void integerReading_data()
    {
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<int>("expected");
        QTest::newRow("decimal") << QByteArray("25") << 25;
        QTest::newRow("blanks around") << QByteArray("   25\t") << 25;
        QTest::newRow("quoted") << QByteArray("\"42\"") << 42;
        QTest::newRow("text") << QByteArray("abc") << 10;
        QTest::newRow("digits then text") << QByteArray("12abc") << 10;
        QTest::newRow("empty") << QByteArray("") << 10;
        QTest::newRow("hex 0x") << QByteArray("0x1F") << 31;
        QTest::newRow("hex dollar") << QByteArray("$FF") << 255;
        QTest::newRow("negative hex") << QByteArray("-0x10") << -16;
        QTest::newRow("hex all bits") << QByteArray("$FFFFFFFF") << -1;
        QTest::newRow("hex too wide") << QByteArray("$100000000") << 10;
        QTest::newRow("bare 0x") << QByteArray("0x") << 10;
        QTest::newRow("min") << QByteArray("-2147483648") << int(-2147483647 - 1);
        QTest::newRow("overflow") << QByteArray("2147483648") << 10;
    }
    void integerReading()
    {
        QFETCH(QByteArray, stored);
        QFETCH(int, expected);
        writeFile(path(), "[CodigoBarras]\r\nDelai=" + stored + "\r\n");
        RecordingPrompts prompts;
        ConfigFile config(path(), prompts);
        QCOMPARE(config.readDelai(), expected);
    }

    void namesMatchWhateverTheirCase()
    {
        writeFile(path(), "[config]\r\nCONEXAO=0\r\nporta=2000\r\n[SERIAL]\r\nbaud_rate=19200\r\n");
        RecordingPrompts prompts;
        ConfigFile config(path(), prompts);
        QCOMPARE(config.readConexao(), 0);
        QCOMPARE(config.readPorta(), QByteArray("2000"));
        QCOMPARE(readSerialSettings(config.store()).baudRateText, QByteArray("19200"));
        QVERIFY(config.writePorta("3000"));
        QCOMPARE(readAll(path()), QByteArray("[config]\r\nCONEXAO=0\r\nporta=3000\r\n[SERIAL]\r\nbaud_rate=19200\r\n"));
    }

    void handEditedFileReadsAndKeepsItsOtherLines()
    {
        const QByteArray original =
            "; emulator settings\n"
            "\n"
            "# written by hand\n"
            "[Config]\n"
            "  Endereco = \"10.0.0.7\"  \n"
            "this line has no equals sign\n"
            "Porta=1001\n"
            "Porta=9999\n"
            ";Conexao=0\n"
            "\n"
            "[CodigoBarras]\n"
            "Delai='25'\n"
            "[Serial]\n"
            "Porta=3";
        writeFile(path(), original);
        RecordingPrompts prompts;
        ConfigFile config(path(), prompts);
        QCOMPARE(config.readEndereco(), QByteArray("10.0.0.7"));
        QCOMPARE(config.readPorta(), QByteArray("1001"));
        QCOMPARE(config.readConexao(), 1);
        QCOMPARE(config.readDelai(), 25);
        QCOMPARE(readSerialSettings(config.store()).porta, QByteArray("3"));

        // Replace in place, append a key after the section's last key (not after
        // the commented-out line or the blank line), and add a key on a last
        // line without a line break; new lines take the file's LF style.
        QVERIFY(config.writePorta("2000"));
        QVERIFY(config.writeConexao(0));
        IniStore &store = config.store();
        store.writeString("Serial", "Baud_Rate", "4800");
        store.writeString("Novo", "Chave", "x");
        QByteArray expected = original;
        expected.replace("Porta=1001\n", "Porta=2000\n");
        expected.replace("Porta=9999\n", "Porta=9999\nConexao=0\n");
        expected += "\nBaud_Rate=4800\n[Novo]\nChave=x\n";
        QCOMPARE(readAll(path()), expected);
    }

    void snapshotReadsWhatTheStoreReads()
    {
        // Repeated sections and keys, names in other letter cases, quotes, a key
        // before any section and one longer than the value limit.
        const QByteArray text = "orphan=1\r\n"
                                "[Parametros]\r\n"
                                "Tempo_entre_caracteres = \"5\" \r\n"
                                "[Inputs]\r\n"
                                "0=abc\r\n"
                                "0=shadowed\r\n"
                                "[PARAMETROS]\r\n"
                                "numero_de_inputs=2\r\n"
                                "Tempo_entre_caracteres=7\r\n"
                                "[inputs]\r\n"
                                "1=" + QByteArray(3000, 'x') + "\r\n";
        writeFile(path(), text);
        const IniStore store(path());
        const auto snapshot = store.snapshot();
        QVERIFY(snapshot->exists());
        const QList<QPair<QByteArray, QByteArray>> keys = {
            {"Parametros", "TEMPO_ENTRE_CARACTERES"}, {"parametros", "Numero_de_Inputs"},
            {"Inputs", "0"}, {"Inputs", "1"}, {"Inputs", "2"}, {"", "orphan"}, {"Nada", "x"}};
        for (const auto &[section, key] : keys)
            QCOMPARE(snapshot->readString(section, key, "dflt"), store.readString(section, key, "dflt"));
        QCOMPARE(snapshot->readString("Parametros", "Tempo_entre_caracteres", ""), QByteArray("5"));
        QCOMPARE(snapshot->readString("Inputs", "1", "").size(), IniStore::kMaxValueLength);

        QFile::remove(path());
        QVERIFY(!IniStore(path()).snapshot()->exists());
    }

    void valuesAreBoundedAndSingleLine()
    {
        IniStore store(path());
        store.writeString("S", "Long", QByteArray(5000, 'a'));
        QCOMPARE(store.readString("S", "Long", {}), QByteArray(2047, 'a'));
        store.writeString("S", "Injected", "1\r\n[Config]\r\nInicializacao=1");
        QCOMPARE(store.readString("S", "Injected", {}), QByteArray("1"));
        QCOMPARE(store.readString("Config", "Inicializacao", "none"), QByteArray("none"));
    }

    void oversizedOrBinaryFileNeverCrashes()
    {
        // Beyond the size limit: the beginning still reads, writes are refused
        // rather than dropping the part that was never loaded.
        QByteArray big = "[Config]\r\nPorta=1234\r\n";
        QRandomGenerator random(7);
        while (big.size() < IniStore::kMaxFileSize + 1000)
            big.append(static_cast<char>(random.bounded(256)));
        big += "\r\n[Late]\r\nKey=1\r\n";
        writeFile(path(), big);
        RecordingPrompts prompts;
        ConfigFile config(path(), prompts);
        QCOMPARE(config.readPorta(), QByteArray("1234"));
        QCOMPARE(config.store().readString("Late", "Key", "unseen"), QByteArray("unseen"));
        QVERIFY(!config.writePorta("1"));
        QCOMPARE(prompts.terminateRequests, 1);
        QCOMPARE(readAll(path()), big);

        // Binary noise without line breaks or with NULs inside a value.
        writeFile(path(), QByteArray(200000, '\0') + '\n' + QByteArray("[Config]\nPorta=5\0tail\n", 22));
        QCOMPARE(config.readPorta(), QByteArray("5\0tail", 6));
        writeFile(path(), QByteArray(300000, '['));
        QCOMPARE(config.readPorta(), QByteArray("1001"));
    }

    void cannotCreateFileShowsExecutandoAndTerminates()
    {
        // The parent of this path is a regular file: no user, root included, can create it.
        const QString blocker = m_dir.filePath(QStringLiteral("not-a-folder"));
        writeFile(blocker, "x");
        RecordingPrompts prompts;
        ConfigFile config(blocker + QStringLiteral("/Config.ini"), prompts);
        QVERIFY(!config.writeFirstStartDefaults());
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.messages[0].caption, QStringLiteral("Erro"));
        QCOMPARE(prompts.messages[0].text,
                 kErroFirstLine + QChar(u'\r')
                     + QStringLiteral("Este aplicativo não pode ser executando a partir do CD-ROM!"));
        QCOMPARE(prompts.terminateRequests, 1);
        try {
            config.store().writeString("Config", "Porta", "1");
            QFAIL("write reported success");
        } catch (const AppError &error) {
            QCOMPARE(error.text(), QStringLiteral("Unable to write to ") + blocker + QStringLiteral("/Config.ini"));
        }
    }

    void failedReplacementLeavesOldFileIntact()
    {
        QTemporaryDir folder;
        const QString file = folder.filePath(QStringLiteral("Config.ini"));
        const QByteArray original = "[Config]\r\nPorta=1001\r\n; keep me\r\n[CodigoBarras]\r\nDelai=10\r\n";
        writeFile(file, original);
        RecordingPrompts prompts;
        ConfigFile config(file, prompts);
        bool written = true;
        bool barcodeWritten = true;
        {
            FailingReplacement failing(folder.path(), original.size());
            written = config.writeEndereco("192.168.0.1");
            barcodeWritten = config.writeBarcodeSettings(3, "20");
        }
        QVERIFY(!written);
        QVERIFY(!barcodeWritten);
        QCOMPARE(readAll(file), original);
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList {QStringLiteral("Config.ini")});
        QCOMPARE(prompts.messages.size(), 2);
        QCOMPARE(prompts.messages[0].text,
                 kErroFirstLine + QChar(u'\r') + QStringLiteral("Este aplicativo não pode ser salvo a partir do CD-ROM!"));
        QCOMPARE(prompts.terminateRequests, 2);
        // Once writable again the same handle works.
        QVERIFY(config.writeEndereco("192.168.0.1"));
        QCOMPARE(config.readEndereco(), QByteArray("192.168.0.1"));
    }

    void serialSettingsWrittenInOrderAndFailuresReported()
    {
        writeFile(path(), "[Config]\r\nPorta=1001\r\n");
        IniStore store(path());
        const SerialSettings s {"5", "19200", 2, 1, 1};
        writeSerialSettings(store, s);
        QCOMPARE(readAll(path()), QByteArray("[Config]\r\nPorta=1001\r\n[Serial]\r\nPorta=5\r\nBaud_Rate=19200\r\n"
                                             "Paridade=2\r\nNBits=1\r\nStop_Bit=1\r\n"));
        QCOMPARE(readSerialSettings(store).stopBit, 1);

        IniStore nowhere(m_dir.filePath(QStringLiteral("missing-folder/Config.ini")));
        QVERIFY_THROWS_EXCEPTION(AppError, writeSerialSettings(nowhere, s));
    }
};

QTEST_GUILESS_MAIN(TestConfigFile)
#include "tst_config_file.moc"
