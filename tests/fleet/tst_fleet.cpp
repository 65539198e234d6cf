#include "fleet/address_list.h"
#include "fleet/fleet_maker.h"
#include "fleet/latency_histogram.h"
#include "link/comutadora_filter.h"
#include "shell/ini_store.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <numeric>
#include <random>

// The pieces a fleet is made of that need no process: the address list the
// user writes, the filter of one address among many, the bounded histogram of
// the load figures, and the layout of a fleet folder.
class FleetPartsTest : public QObject {
    Q_OBJECT
private slots:
    void addressLists_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("addresses"); // joined by spaces; empty: refused
        QTest::newRow("one") << "00" << "00";
        QTest::newRow("range") << "00-03" << "00 01 02 03";
        QTest::newRow("list, range, repeats and order") << "07, 02-03,02 ,07" << "02 03 07";
        QTest::newRow("the whole bus") << "00-99" << "";
        QTest::newRow("single digit") << "0-31" << "";
        QTest::newRow("three digits") << "100" << "";
        QTest::newRow("range backwards") << "31-00" << "";
        QTest::newRow("empty item") << "00,,01" << "";
        QTest::newRow("two dashes") << "00-01-02" << "";
        QTest::newRow("not digits") << "0x" << "";
        QTest::newRow("other digits than ASCII") << QString::fromUtf8("\u0661\u0662") << "";
    }

    void addressLists()
    {
        QFETCH(QString, text);
        QFETCH(QString, addresses);
        QString error;
        const auto list = parseAddressList(text, &error);
        if (QByteArray(QTest::currentDataTag()) == "the whole bus") {
            QVERIFY(list);
            QCOMPARE(list->size(), std::size_t(100));
            QCOMPARE(addressText(list->back()), QStringLiteral("99"));
            return;
        }
        if (addresses.isEmpty()) {
            QVERIFY(!list);
            QVERIFY(!error.isEmpty());
            return;
        }
        QVERIFY2(list, qPrintable(error));
        QStringList got;
        for (const frames::BusAddress address : *list)
            got.append(addressText(address));
        QCOMPARE(got.join(QLatin1Char(' ')), addresses);
    }

    // Each terminal of a concentrator keeps the frames of its own address
    // only, and the addresses found in a read are exactly those whose filter
    // keeps something.
    void oneAddressAmongMany()
    {
        const QByteArray read = QByteArray("junk\x02"
                                           "D03abc\x03\x02T05\x03\x02"
                                           "D03de\x02G05\x01\x03\x02L1")
                                + QByteArray("\x02Z9\x03", 5);
        QCOMPARE(ComutadoraFilter(read, {'0', '3'}), QByteArray("\x02"
                                                               "D03abc\x03\x02"
                                                               "D03de\x02G05\x01\x03"));
        QCOMPARE(ComutadoraFilter(read, {'0', '5'}), QByteArray("\x02T05\x03\x02G05\x01\x03"));
        QCOMPARE(ComutadoraFilter(read), QByteArray());
        const std::bitset<100> present = ComutadoraAddressesIn(read);
        QCOMPARE(present.count(), std::size_t(2));
        QVERIFY(present.test(3) && present.test(5));

        // Random reads of frames for a few addresses: no address outside the
        // found set ever gets anything, and each found one gets something.
        std::mt19937 random(16);
        const QByteArray alphabet("\x02\x03"
                                  "0123DT",
                                  8);
        for (int round = 0; round < 2000; ++round) {
            QByteArray bytes;
            const int size = int(random() % 40);
            for (int i = 0; i < size; ++i)
                bytes.append(alphabet.at(int(random() % std::uint32_t(alphabet.size()))));
            const std::bitset<100> found = ComutadoraAddressesIn(bytes);
            for (int a = 0; a < 100; ++a) {
                const frames::BusAddress address{char('0' + a / 10), char('0' + a % 10)};
                QCOMPARE(!ComutadoraFilter(bytes, address).isEmpty(), found.test(std::size_t(a)));
            }
        }
    }

    void histogramBucketsCoverEveryValueOnce()
    {
        std::uint64_t expectedLow = 0;
        for (std::size_t bucket = 0; LatencyHistogram::bucketLow(bucket) < (std::uint64_t(1) << 41); ++bucket) {
            QCOMPARE(LatencyHistogram::bucketLow(bucket), expectedLow);
            QCOMPARE(LatencyHistogram::bucketOf(LatencyHistogram::bucketLow(bucket)), bucket);
            QCOMPARE(LatencyHistogram::bucketOf(LatencyHistogram::bucketHigh(bucket) - 1), bucket);
            // No bucket is wider than 1/32 of its lowest value (past the exact ones).
            QVERIFY(LatencyHistogram::bucketHigh(bucket) - expectedLow <= std::max<std::uint64_t>(1, expectedLow / 32));
            expectedLow = LatencyHistogram::bucketHigh(bucket);
        }
        QCOMPARE(LatencyHistogram::bucketOf(~std::uint64_t(0)), LatencyHistogram::bucketOf(std::uint64_t(1) << 50));
    }

    void histogramPercentilesAreCloseAndMergeAddsUp()
    {
        // 1..100000 µs shuffled in two halves: the percentiles of the merged
        // histogram are those of the whole within the bucket width.
        std::vector<std::uint64_t> values(100000);
        std::iota(values.begin(), values.end(), 1);
        std::shuffle(values.begin(), values.end(), std::mt19937(7));
        LatencyHistogram first;
        LatencyHistogram second;
        for (std::size_t i = 0; i < values.size(); ++i)
            (i % 2 ? first : second).add(values[i]);
        LatencyHistogram all;
        all.merge(first);
        all.merge(second);
        QCOMPARE(all.count(), std::uint64_t(100000));
        QCOMPARE(all.max(), std::uint64_t(100000));
        for (const double q : {0.5, 0.9, 0.99}) {
            const double exact = q * 100000;
            QVERIFY2(std::abs(double(all.percentile(q)) - exact) <= exact * 0.032,
                     qPrintable(QStringLiteral("q %1: %2").arg(q).arg(all.percentile(q))));
        }
        QCOMPARE(all.percentile(1.0), std::uint64_t(100000));

        LatencyHistogram one;
        one.add(50000);
        QCOMPARE(one.percentile(0.5), std::uint64_t(50000)); // a lone value comes back exactly
        const QJsonObject json = one.toJson();
        QCOMPARE(json.value(QStringLiteral("p99")).toDouble(), 50.0);
        QCOMPARE(LatencyHistogram().toJson(), (QJsonObject{{QStringLiteral("count"), 0}}));
    }

    void fleetFolderLayout()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString source = dir.filePath(QStringLiteral("src"));
        QVERIFY(QDir().mkpath(source));
        writeFile(source + QStringLiteral("/Config.ini"), "[Config]\r\nConexao=0\r\nPorta=4000\r\n");
        writeFile(source + QStringLiteral("/Digitacoes.ini"), "[Parametros]\r\n");
        QFile::setPermissions(source + QStringLiteral("/Config.ini"), QFile::ReadOwner);

        QString error;
        const QStringList made = makeFleet({dir.filePath(QStringLiteral("fleet")), 12,
                                            source + QStringLiteral("/Config.ini"), 5000},
                                           &error);
        QVERIFY2(made.size() == 12, qPrintable(error));
        QVERIFY(made.first().endsWith(QStringLiteral("/t001")) && made.last().endsWith(QStringLiteral("/t012")));
        for (int i = 0; i < made.size(); ++i) {
            IniStore config(made.at(i) + QStringLiteral("/Config.ini"));
            QCOMPARE(config.readInteger("Config", "Porta", 0), 5000 + i);
            QCOMPARE(config.readInteger("Config", "Conexao", 1), 0);
            QVERIFY(QFileInfo(made.at(i) + QStringLiteral("/Digitacoes.ini")).isFile());
            QVERIFY(!QFileInfo::exists(made.at(i) + QStringLiteral("/Codigo.txt")));
            // A copy of a read-only file must still take the terminal's writes.
            config.writeInteger("Config", "Protocolo", 1);
        }

        // A second fleet over the first, or ports past 65535, write nothing.
        QVERIFY(makeFleet({dir.filePath(QStringLiteral("fleet")), 13, source + QStringLiteral("/Config.ini"), {}},
                          &error)
                    .isEmpty());
        QVERIFY2(error.contains(QStringLiteral("already holds 12 terminal folder(s) (t001 ... t012)")), qPrintable(error));
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("fleet/t013"))));
        QVERIFY(makeFleet({dir.filePath(QStringLiteral("other")), 3, source + QStringLiteral("/Config.ini"), 65534},
                          &error)
                    .isEmpty());
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("other/t001"))));

        // Without a base port every copy keeps the port it had.
        const QStringList same = makeFleet({dir.filePath(QStringLiteral("same")), 2,
                                            source + QStringLiteral("/Config.ini"), {}},
                                           &error);
        QCOMPARE(same.size(), 2);
        QCOMPARE(IniStore(same.last() + QStringLiteral("/Config.ini")).readInteger("Config", "Porta", 0), 4000);
    }

private:
    static void writeFile(const QString &path, const QByteArray &text)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
};

QTEST_GUILESS_MAIN(FleetPartsTest)
#include "tst_fleet.moc"
