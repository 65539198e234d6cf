#include "common/recorders.h"
#include "engine/outputs.h"
#include "inputs/scale.h"
#include "inputs/scale_notation.h"
#include "support/loopback_host.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray kReading1("\x02" "12345\x03");
const QByteArray kReading2 = QByteArray::fromHex("0214313233343514303039323314313133393403");

} // namespace

class TestScale : public QObject {
    Q_OBJECT

private slots:
    void init() { state = TerminalState(); }

    void notation_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QByteArray>("reading");
        QTest::newRow("first design item") << QByteArray("<2>12345<3>") << true << kReading1;
        QTest::newRow("second design item") << QByteArray("<2><20>12345<20>00923<20>11394<3>") << true << kReading2;
        QTest::newRow("<13>") << QByteArray("<13>") << true << QByteArray("\r");
        QTest::newRow("<7 at the end") << QByteArray("ab<7") << true << QByteArray("ab\x07");
        QTest::newRow("<0>") << QByteArray("<0>") << true << QByteArray(1, '\0');
        QTest::newRow("non-digits inside a code") << QByteArray("<1 x2>") << true << QByteArray("\x0c");
        QTest::newRow("plain text") << QByteArray("0,500 kg") << true << QByteArray("0,500 kg");
        QTest::newRow("empty") << QByteArray() << true << QByteArray();
        QTest::newRow("<123>") << QByteArray("<123>") << false << QByteArray();
        QTest::newRow("<>") << QByteArray("<>") << false << QByteArray();
        QTest::newRow("A>B") << QByteArray("A>B") << false << QByteArray();
        QTest::newRow("< at the very end") << QByteArray("12<") << false << QByteArray();
        QTest::newRow("the error text itself") << kScaleErrorText << false << QByteArray();
    }

    void notation()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, valid);
        QFETCH(QByteArray, reading);
        const auto decoded = decodeScaleReading(text);
        QCOMPARE(decoded.has_value(), valid);
        if (valid)
            QCOMPARE(*decoded, reading);
    }

    // Items in error are replaced in the list and sent as the error text.
    void switchingDecodesAndMarksErrors()
    {
        RecordingSender sender;
        Scale scale(state, sender);
        scale.setItems({"<5>", "A>B", "x"});
        QSignalSpy itemsChanged(&scale, &Scale::itemsChanged);
        QSignalSpy selected(&scale, &Scale::selectionChanged);
        scale.cbProtocoloBalancaClick(2);
        scale.BalancaClick(true);
        QCOMPARE(scale.ScaleIndex(), 0);
        QCOMPARE(selected.count(), 1);
        QCOMPARE(scale.ScaleReadings(), (QList<QByteArray>{"\x05", kScaleErrorText, "x"}));
        QCOMPARE(scale.items().at(1), kScaleErrorText);
        QCOMPARE(itemsChanged.count(), 1);

        scale.BalancaClick(false);
        QCOMPARE(scale.ScaleReadings().size(), 3);
        scale.BalancaClick(true);
        QCOMPARE(scale.ScaleReadings().at(1), kScaleErrorText);
    }

    // Three ENQs from a host over loopback get readings 1, 2, 1, one byte per
    // send, and after each the list points at the reading that comes next.
    void answersEnqFromHost()
    {
        LoopbackHost host;
        QVERIFY(host.isConnected());
        Outputs outputs(state);
        Scale scale(state, host);
        outputs.setEnqResponder(&scale);
        host.onEmulatorBytes = [&](const QByteArray &bytes) {
            for (const char b : bytes)
                outputs.SerialOut(b);
        };
        scale.BalancaClick(true);
        QSignalSpy selected(&scale, &Scale::selectionChanged);

        for (int i = 0; i < 3; ++i) {
            const qsizetype before = host.received.size();
            host.hostWrites("\x05");
            QTRY_VERIFY(host.received.size() > before && selected.count() == i + 1);
        }
        const QByteArray expected = kReading1 + kReading2 + kReading1;
        QTRY_COMPARE(host.received, expected);
        QCOMPARE(host.sends.size(), expected.size());
        QCOMPARE(selected.at(0).at(0).toInt(), 1);
        QCOMPARE(selected.at(1).at(0).toInt(), 0);
        QCOMPARE(selected.at(2).at(0).toInt(), 1);
        QCOMPARE(outputs.serialLog().back(), QByteArray("(5)"));
    }

    void enqConditions()
    {
        RecordingSender sender;
        Scale scale(state, sender);

        scale.answerEnq(); // box not ticked
        QVERIFY(sender.sends.isEmpty());

        scale.BalancaClick(true);
        scale.cbProtocoloBalancaClick(1);
        state.comPortBoxTicked = true;
        scale.answerEnq();
        QVERIFY(sender.sends.isEmpty());

        state.comPortBoxTicked = false;
        scale.answerEnq();
        QCOMPARE(sender.all(), kReading2);

        // Behind a Comutadora every byte of the reading is framed.
        sender.sends.clear();
        state.comutadoraMode = true;
        state.protocolKind = TerminalState::kZorvane;
        scale.answerEnq();
        QCOMPARE(sender.sends.size(), kReading1.size());
        QCOMPARE(sender.sends.first(), QByteArray("\x02" "00\x02\x03"));
        state.comutadoraMode = false;

        // An index chosen past the readings starts again at the first.
        sender.sends.clear();
        scale.cbProtocoloBalancaClick(200);
        scale.answerEnq();
        QCOMPARE(sender.all(), kReading1);
        QCOMPARE(scale.ScaleIndex(), 1);

        // Readings dropped when the window was left: nothing to send, nothing fails.
        sender.sends.clear();
        scale.clearReadings();
        scale.answerEnq();
        QVERIFY(sender.sends.isEmpty());
        QVERIFY(scale.isOn());
    }

    // More than 256 readings: the one-byte index wraps from 255 to 0.
    void indexIsOneByte()
    {
        RecordingSender sender;
        Scale scale(state, sender);
        QList<QByteArray> items;
        for (int i = 0; i < 300; ++i)
            items.append(QByteArray::number(i));
        scale.setItems(items);
        scale.BalancaClick(true);
        scale.cbProtocoloBalancaClick(255);
        scale.answerEnq();
        QCOMPARE(sender.all(), QByteArray("255"));
        QCOMPARE(scale.ScaleIndex(), 0);
    }

    void loadingItems()
    {
        RecordingSender sender;
        Scale scale(state, sender);
        QTemporaryDir dir;
        const QString path = dir.filePath("Balanca.txt");
        QVERIFY(!scale.loadItems(path));
        QCOMPARE(scale.items().size(), 2);

        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("<1>a\r\n<2>b\r<3>c\nd\r\n");
        file.close();
        QVERIFY(scale.loadItems(path));
        QCOMPARE(scale.items(), (QList<QByteArray>{"<1>a", "<2>b", "<3>c", "d"}));
    }

private:
    TerminalState state;
};

QTEST_GUILESS_MAIN(TestScale)
#include "tst_scale.moc"
