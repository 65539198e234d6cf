#include "common/recorders.h"
#include "engine/errors.h"
#include "shell/config_file.h"
#include "shell/equipment_loader.h"
#include "shell/local_address.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// What the chooser takes from "Config.ini", the automatic-start gate and the port rule.
class TestEquipmentLoader : public QObject {
    Q_OBJECT

    static QString writeConfig(const QTemporaryDir &dir, const QByteArray &text)
    {
        const QString path = dir.filePath(QStringLiteral("Config.ini"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
            qFatal("cannot prepare Config.ini");
        return path;
    }

private slots:
    void gateForAutomaticStart_data()
    {
        QTest::addColumn<QByteArray>("address");
        QTest::addColumn<QString>("localText");
        QTest::addColumn<bool>("autoStart");
        QTest::addColumn<int>("lookups");
        QTest::newRow("loopback, no lookup") << QByteArray("127.0.0.1") << "10.0.0.5" << true << 0;
        QTest::newRow("loopback anywhere in the text") << QByteArray("x127.0.0.9") << "" << true << 0;
        QTest::newRow("this machine") << QByteArray("10.0.0.5") << "10.0.0.5" << true << 1;
        QTest::newRow("all addresses joined") << QByteArray("10.0.0.5/ 192.168.0.2")
                                              << "10.0.0.5/ 192.168.0.2" << true << 1;
        QTest::newRow("another machine") << QByteArray("10.0.0.6") << "10.0.0.5" << false << 1;
        QTest::newRow("failed lookup") << QByteArray("10.0.0.6") << "" << false << 1;
    }

    void gateForAutomaticStart()
    {
        QFETCH(QByteArray, address);
        QFETCH(QString, localText);
        QFETCH(bool, autoStart);
        QFETCH(int, lookups);
        QTemporaryDir dir;
        const QByteArray text = "[Config]\r\nEndereco=" + address + "\r\nInicializacao=1\r\n";
        const QString path = writeConfig(dir, text);
        RecordingPrompts prompts;
        ConfigFile config(path, prompts);
        int calls = 0;

        const LoadedSettings loaded = loadStoredSettings(config, [&] {
            ++calls;
            return localText;
        });

        QCOMPARE(loaded.autoStart, autoStart);
        QCOMPARE(calls, lookups);
        // A refused automatic start leaves the stored value alone.
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), text);
    }

    void storedValuesAreBroughtIntoRange_data()
    {
        QTest::addColumn<QByteArray>("terminatorText");
        QTest::addColumn<QByteArray>("protocolText");
        QTest::addColumn<int>("terminator");
        QTest::addColumn<int>("protocol");
        QTest::newRow("in range") << QByteArray("2") << QByteArray("1") << 2 << 1;
        QTest::newRow("above") << QByteArray("9") << QByteArray("7") << 3 << 2;
        QTest::newRow("below") << QByteArray("-1") << QByteArray("-4") << -1 << -1;
        QTest::newRow("not numbers") << QByteArray("CR") << QByteArray("vt") << 1 << 0;
    }

    void storedValuesAreBroughtIntoRange()
    {
        QFETCH(QByteArray, terminatorText);
        QFETCH(QByteArray, protocolText);
        QFETCH(int, terminator);
        QFETCH(int, protocol);
        QTemporaryDir dir;
        // Section and key names are found whatever their letter case.
        const QString path = writeConfig(dir, "[config]\nPROTOCOLO=" + protocolText
                                                  + "\n[CODIGOBARRAS]\ncofig_leitor="
                                                  + terminatorText + "\n");
        RecordingPrompts prompts;
        ConfigFile config(path, prompts);
        const LoadedSettings loaded = loadStoredSettings(config, [] { return QString(); });
        QCOMPARE(loaded.terminatorIndex, terminator);
        QCOMPARE(loaded.protocolIndex, protocol);
        QCOMPARE(loaded.connectionRole, 1);
        QCOMPARE(loaded.link.port, QStringLiteral("1001"));
        QCOMPARE(loaded.link.address, QStringLiteral("127.0.0.1"));
        QCOMPARE(loaded.barcodeCharDelay, 10);
    }

    void portText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("port");    // 0: refused
        QTest::addColumn<bool>("notANumber");
        QTest::newRow("default") << "1001" << 1001 << false;
        QTest::newRow("highest") << "65535" << 65535 << false;
        QTest::newRow("lowest") << "1" << 1 << false;
        QTest::newRow("zero") << "0" << 0 << false;
        QTest::newRow("would wrap to 4464") << "70000" << 0 << false;
        QTest::newRow("negative") << "-1001" << 0 << false;
        QTest::newRow("letters") << "abc" << 0 << true;
        QTest::newRow("empty") << "" << 0 << true;
    }

    void portText()
    {
        QFETCH(QString, text);
        QFETCH(int, port);
        QFETCH(bool, notANumber);
        try {
            QCOMPARE(int(portFromText(text)), port);
            QVERIFY(port != 0);
        } catch (const ConversionError &error) {
            QVERIFY(notANumber);
            QCOMPARE(error.text(), QStringLiteral("'%1' is not a valid integer value").arg(text));
        } catch (const AppError &error) {
            QVERIFY(!notANumber && port == 0);
            QVERIFY(error.text().contains(text));
            QVERIFY(error.text().contains(QStringLiteral("65535")));
        }
    }

    void addressesAreJoinedInOrder()
    {
        const QList<QHostAddress> found{QHostAddress(QStringLiteral("10.1.2.3")),
                                        QHostAddress(QStringLiteral("fe80::1")),
                                        QHostAddress(QStringLiteral("::ffff:192.168.7.8")),
                                        QHostAddress(QStringLiteral("172.16.0.1"))};
        QCOMPARE(joinIPv4Addresses(found), QStringLiteral("10.1.2.3/ 192.168.7.8/ 172.16.0.1"));
        QCOMPARE(joinIPv4Addresses({QHostAddress(QStringLiteral("10.1.2.3"))}),
                 QStringLiteral("10.1.2.3"));
        QCOMPARE(joinIPv4Addresses({}), QString());
    }
};

QTEST_GUILESS_MAIN(TestEquipmentLoader)
#include "tst_equipment_loader.moc"
