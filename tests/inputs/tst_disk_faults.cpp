#include "common/recorders.h"
#include "engine/errors.h"
#include "engine/terminal_state.h"
#include "inputs/barcode_reader.h"
#include "inputs/keyboard.h"
#include "shell/config_file.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

// The files the user keeps, "Config.ini" and "Codigo.txt", written to a disk
// that is full or mounted read-only. The disk is a small tmpfs that the test
// mounts itself, so this needs root (as in CI); elsewhere it is skipped. A
// failed write must leave the earlier file exactly as it was, leave no partly
// written file behind, and tell the user.
class TestDiskFaults : public QObject {
    Q_OBJECT

    QTemporaryDir m_mountPoint;
    bool m_mounted = false;
    const QByteArray m_config = "[Config]\r\nPorta=1001\r\nEndereco=127.0.0.1\r\nProtocolo=1\r\n"
                                "Conexao=0\r\n[CodigoBarras]\r\nCofig_Leitor=1\r\nDelai=10\r\n";
    const QByteArray m_codes = "1234567890123\r\n789\r\n";

    static bool run(const QStringList &command)
    {
        QProcess process;
        process.start(command.first(), command.mid(1));
        return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }

    QString path(const QString &name) const { return m_mountPoint.filePath(name); }

    static QByteArray contents(const QString &file)
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

    static void put(const QString &file, const QByteArray &bytes)
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(f.write(bytes), bytes.size());
    }

    // Writes filler until the disk takes no more.
    void fillDisk()
    {
        QFile filler(path(QStringLiteral("filler")));
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const QByteArray block(4096, 'f');
        for (int i = 0; i < 100000 && filler.write(block) == block.size(); ++i) {
        }
        filler.close();
        QFile probe(path(QStringLiteral("probe")));
        QVERIFY(probe.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        QVERIFY2(probe.write("x", 1) != 1, "the disk still takes data");
        probe.close();
        probe.remove();
    }

    // Only the files the test put there: no temporary file left over.
    QStringList leftovers() const
    {
        QStringList names = QDir(m_mountPoint.path()).entryList(QDir::Files | QDir::Hidden);
        names.removeAll(QStringLiteral("filler"));
        names.removeAll(QStringLiteral("Config.ini"));
        names.removeAll(QStringLiteral("Codigo.txt"));
        return names;
    }

    enum Fault { FullDisk, ReadOnly };

    // A tmpfs holding the two files, then made full or read-only.
    void prepare(int fault)
    {
        put(path(QStringLiteral("Config.ini")), m_config);
        put(path(QStringLiteral("Codigo.txt")), m_codes);
        if (fault == FullDisk)
            fillDisk();
        else
            QVERIFY(run({QStringLiteral("mount"), QStringLiteral("-o"), QStringLiteral("remount,ro"),
                         m_mountPoint.path()}));
    }

private slots:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("mounting the small disk these cases need takes root; run as root (as CI does) to include them");
        QVERIFY(m_mountPoint.isValid());
        if (!run({QStringLiteral("mount"), QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                  QStringLiteral("size=256k"), QStringLiteral("tmpfs"), m_mountPoint.path()}))
            QSKIP("this system does not let the test mount a tmpfs");
        m_mounted = true;
    }

    void cleanup()
    {
        if (!m_mounted)
            return;
        run({QStringLiteral("mount"), QStringLiteral("-o"), QStringLiteral("remount,rw"), m_mountPoint.path()});
        for (const QString &name : QDir(m_mountPoint.path()).entryList(QDir::Files | QDir::Hidden))
            QFile::remove(path(name));
    }

    void cleanupTestCase()
    {
        if (m_mounted)
            run({QStringLiteral("umount"), m_mountPoint.path()});
    }

    void configWriteFails_data()
    {
        QTest::addColumn<int>("fault");
        QTest::newRow("full disk") << int(FullDisk);
        QTest::newRow("read-only") << int(ReadOnly);
    }

    // Every setting is written the same way; one of each length is enough.
    void configWriteFails()
    {
        QFETCH(int, fault);
        prepare(fault);
        RecordingPrompts prompts;
        ConfigFile config(path(QStringLiteral("Config.ini")), prompts);

        QVERIFY(!config.writeProtocolo(2));
        QVERIFY(!config.writeEndereco(QByteArray(3000, '9')));
        QCOMPARE(contents(path(QStringLiteral("Config.ini"))), m_config);
        QCOMPARE(leftovers(), QStringList());
        QCOMPARE(prompts.messages.size(), 2);
        QCOMPARE(prompts.messages.first().caption, QStringLiteral("Erro"));
        QCOMPARE(prompts.messages.first().text,
                 QStringLiteral("Erro ao escrever no arquivo de configuração.\rEste aplicativo não pode ser "
                                "salvo a partir do CD-ROM!"));
        QCOMPARE(prompts.terminateRequests, 2);
        QCOMPARE(config.readProtocolo(), 1);
    }

    void firstStartOnFullDisk()
    {
        fillDisk();
        RecordingPrompts prompts;
        ConfigFile config(path(QStringLiteral("Config.ini")), prompts);
        QVERIFY(!config.writeFirstStartDefaults());
        QVERIFY(!config.exists());
        QCOMPARE(leftovers(), QStringList());
        QCOMPARE(prompts.messages.size(), 1);
        QVERIFY(prompts.messages.first().text.contains(QStringLiteral("executando")));
        QCOMPARE(prompts.terminateRequests, 1);
    }

    void codeListWriteFails_data() { configWriteFails_data(); }

    void codeListWriteFails()
    {
        QFETCH(int, fault);
        prepare(fault);
        TerminalState state;
        RecordingSender sender;
        RecordingPrompts prompts;
        OperationStack operations(prompts);
        Keyboard keyboard(state, sender, operations);
        BarcodeReader reader(state, keyboard);
        // Larger than any write buffer, so nothing can hide in one until commit.
        QByteArray list;
        for (int i = 0; i < 4000; ++i)
            list += QByteArray::number(1000000000000LL + i) + '\n';
        reader.setText(list);

        const QString file = path(QStringLiteral("Codigo.txt"));
        try {
            reader.saveCodes(file);
            QFAIL("the code list was reported as saved");
        } catch (const AppError &error) {
            QVERIFY(error.text().contains(QStringLiteral("Codigo.txt")));
        }
        QCOMPARE(contents(file), m_codes);
        QCOMPARE(leftovers(), QStringList());

        // A short list fits in a buffer; the failure must still show.
        reader.setText("42");
        QVERIFY_THROWS_EXCEPTION(AppError, reader.saveCodes(file));
        QCOMPARE(contents(file), m_codes);
    }
};

QTEST_GUILESS_MAIN(TestDiskFaults)
#include "tst_disk_faults.moc"
