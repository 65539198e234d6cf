#include "common/recorders.h"
#include "engine/errors.h"
#include "engine/outputs.h"
#include "inputs/barcode_reader.h"
#include "inputs/scale.h"
#include "inputs/scale_notation.h"
#include "support/loopback_host.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray kReading1("\x02" "12345\x03");
const QByteArray kReading2 = QByteArray::fromHex("0214313233343514303039323314313133393403");

} // namespace

// The code list with its terminators and file, the reading notation and the scale's ENQ answer.
class TestBarcodeScale : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        state = TerminalState();
        state.barcodeCharDelay = 0;
        sender.sends.clear();
    }

    void rotationAndTerminators_data()
    {
        QTest::addColumn<int>("terminator");
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("none selected") << int(BarcodeReader::kNoTerminator) << QByteArray();
        QTest::newRow("Nenhum") << int(BarcodeReader::kNenhum) << QByteArray("122333122");
        QTest::newRow("CR") << int(BarcodeReader::kCr) << QByteArray("1\r22\r333\r1\r22\r");
        QTest::newRow("LF") << int(BarcodeReader::kLf) << QByteArray("1\n22\n333\n1\n22\n");
        QTest::newRow("CR + LF") << int(BarcodeReader::kCrLf) << QByteArray("1\r\n22\r\n333\r\n1\r\n22\r\n");
    }

    // Codes 1, 2, 3, 1, 2, one character per send; the list's final line break is no fourth code.
    void rotationAndTerminators()
    {
        QFETCH(int, terminator);
        QFETCH(QByteArray, sent);
        Keyboard keyboard(state, sender, operations);
        BarcodeReader reader(state, keyboard);
        reader.setText("1\n22\n333\n");
        reader.setTerminatorIndex(terminator);
        for (int i = 0; i < 5; ++i)
            QVERIFY(runToEnd(operations, reader.btCodigoBarrasClick()));
        QCOMPARE(sender.all(), sent);
        QCOMPARE(sender.sends.size(), sent.size());
        QCOMPARE(reader.BarcodeLineIndex(), 2);
    }

    void emptyAndRemovedLines()
    {
        Keyboard keyboard(state, sender, operations);
        BarcodeReader reader(state, keyboard);
        reader.setText("A\r\n\r\nB");
        reader.setTerminatorIndex(BarcodeReader::kNenhum);
        QVERIFY(runToEnd(operations, reader.btCodigoBarrasClick()));
        QVERIFY(runToEnd(operations, reader.btCodigoBarrasClick())); // the empty line with "Nenhum": nothing
        QCOMPARE(sender.sends, QList<QByteArray>{"A"});

        // The index points past the list after lines were removed: start again at the first.
        reader.setText("Z");
        QVERIFY(runToEnd(operations, reader.btCodigoBarrasClick()));
        QCOMPARE(sender.sends.last(), QByteArray("Z"));
        QCOMPARE(reader.BarcodeLineIndex(), 0);
    }

    // The delay stored by the editor paces every character of the next code.
    void storedDelayPacesNextCode()
    {
        Keyboard keyboard(state, sender, operations);
        BarcodeReader reader(state, keyboard);
        reader.setText("12");
        reader.setTerminatorIndex(BarcodeReader::kLf);
        reader.applyDelayText("25");
        QVERIFY_THROWS_EXCEPTION(ConversionError, reader.applyDelayText("2x"));
        QCOMPARE(state.barcodeCharDelay, 25);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(runToEnd(operations, reader.btCodigoBarrasClick()));
        QVERIFY2(clock.elapsed() >= 3 * 25, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(sender.sends, (QList<QByteArray>{"1", "2", "\n"}));
    }

    void codeFile()
    {
        Keyboard keyboard(state, sender, operations);
        BarcodeReader reader(state, keyboard);
        QTemporaryDir dir;
        const QString path = dir.filePath("Codigo.txt");
        QVERIFY(!reader.loadCodes(path));
        QCOMPARE(reader.lines(), QList<QByteArray>{"1234567890123"});

        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("a\r\nb\rc\nd\xe7\r\n");
        file.close();
        QVERIFY(reader.loadCodes(path));
        QCOMPARE(reader.lines(), (QList<QByteArray>{"a", "b", "c", "d\xe7"}));

        reader.setText("x\ny\n");
        reader.saveCodes(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("x\r\ny\r\n"));

        try {
            reader.saveCodes(dir.filePath("missing/Codigo.txt"));
            QFAIL("a save into a missing folder must fail");
        } catch (const AppError &error) {
            QVERIFY2(error.text().startsWith("Cannot create file \""), qPrintable(error.text()));
        }
    }

    void notation_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("reading"); // empty with an error expected
        QTest::addColumn<bool>("valid");
        QTest::newRow("first design item") << QByteArray("<2>12345<3>") << kReading1 << true;
        QTest::newRow("second design item") << QByteArray("<2><20>12345<20>00923<20>11394<3>") << kReading2 << true;
        QTest::newRow("<13>") << QByteArray("<13>") << QByteArray("\r") << true;
        QTest::newRow("<7 at the end") << QByteArray("ab<7") << QByteArray("ab\x07") << true;
        QTest::newRow("<0>") << QByteArray("<0>") << QByteArray(1, '\0') << true;
        QTest::newRow("non-digits inside a code") << QByteArray("<1 x2>") << QByteArray("\x0c") << true;
        QTest::newRow("<123>") << QByteArray("<123>") << QByteArray() << false;
        QTest::newRow("<>") << QByteArray("<>") << QByteArray() << false;
        QTest::newRow("A>B") << QByteArray("A>B") << QByteArray() << false;
        QTest::newRow("< at the very end") << QByteArray("12<") << QByteArray() << false;
        QTest::newRow("the error text itself") << kScaleErrorText << QByteArray() << false;
    }

    void notation()
    {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, reading);
        QFETCH(bool, valid);
        QCOMPARE(decodeScaleReading(text), valid ? std::optional<QByteArray>(reading) : std::nullopt);
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
        for (int i = 1; i <= 3; ++i) {
            host.hostWrites("\x05");
            QTRY_COMPARE(selected.count(), i);
        }
        const QByteArray expected = kReading1 + kReading2 + kReading1;
        QTRY_COMPARE(host.received, expected);
        QCOMPARE(host.sends.size(), expected.size());
        QCOMPARE((QList<int>{selected.at(0).at(0).toInt(), selected.at(1).at(0).toInt(), selected.at(2).at(0).toInt()}),
                 (QList<int>{1, 0, 1}));
    }

    void enqConditionsAndErrors()
    {
        Scale scale(state, sender);
        scale.answerEnq(); // box not ticked
        scale.setItems({"<5>", "A>B", "x"});
        QSignalSpy itemsChanged(&scale, &Scale::itemsChanged);
        scale.BalancaClick(true);
        QCOMPARE(scale.ScaleReadings(), (QList<QByteArray>{"\x05", kScaleErrorText, "x"}));
        QCOMPARE(scale.items().at(1), kScaleErrorText);
        QCOMPARE(itemsChanged.count(), 1);

        scale.cbProtocoloBalancaClick(1);
        state.comPortBoxTicked = true;
        scale.answerEnq();
        QVERIFY(sender.sends.isEmpty());
        state.comPortBoxTicked = false;
        scale.answerEnq();
        QCOMPARE(sender.all(), kScaleErrorText);

        // Behind a Comutadora every byte is framed.
        sender.sends.clear();
        state.comutadoraMode = true;
        state.protocolKind = TerminalState::kZorvane;
        scale.answerEnq();
        QCOMPARE(sender.sends, QList<QByteArray>{QByteArray("\x02" "00x\x03")});

        // An index chosen past the readings starts again at the first.
        sender.sends.clear();
        scale.cbProtocoloBalancaClick(200);
        scale.answerEnq();
        QCOMPARE(sender.sends, QList<QByteArray>{QByteArray("\x02" "00\x05\x03")});

        // Readings dropped when the window was left: nothing to send, nothing fails.
        sender.sends.clear();
        scale.clearReadings();
        scale.answerEnq();
        QVERIFY(sender.sends.isEmpty());
    }

    // With more than 256 readings the one-byte index wraps from 255 to 0.
    void indexIsOneByte()
    {
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

private:
    TerminalState state;
    RecordingSender sender;
    RecordingPrompts prompts;
    OperationStack operations{prompts};
};

QTEST_GUILESS_MAIN(TestBarcodeScale)
#include "tst_barcode_scale.moc"
