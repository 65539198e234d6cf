#include "common/recorders.h"
#include "engine/errors.h"
#include "inputs/barcode_reader.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray pressTimes(BarcodeReader &reader, RecordingSender &sender, int presses)
{
    sender.sends.clear();
    for (int i = 0; i < presses; ++i)
        reader.btCodigoBarrasClick();
    return sender.all();
}

} // namespace

class TestBarcode : public QObject {
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

    // Codes 1, 2, 3, 1, 2; the trailing line break of the list is not a fourth code.
    void rotationAndTerminators()
    {
        QFETCH(int, terminator);
        QFETCH(QByteArray, sent);
        Keyboard keyboard(state, sender);
        BarcodeReader reader(state, keyboard);
        reader.setText("1\n22\n333\n");
        reader.setTerminatorIndex(terminator);
        QCOMPARE(pressTimes(reader, sender, 5), sent);
        QCOMPARE(reader.BarcodeLineIndex(), 2);
        if (!sent.isEmpty())
            QCOMPARE(sender.sends.size(), sent.size()); // one character per send
    }

    void emptyLinesAndShrinkingList()
    {
        Keyboard keyboard(state, sender);
        BarcodeReader reader(state, keyboard);
        reader.setText("A\r\n\r\nB");
        reader.setTerminatorIndex(BarcodeReader::kNenhum);
        QCOMPARE(pressTimes(reader, sender, 2), QByteArray("A"));
        QVERIFY(sender.sends.size() == 1);

        // Lines removed while the index points past them: the next press starts again at the first.
        reader.setText("only");
        QCOMPARE(reader.BarcodeLineIndex(), 2);
        QCOMPARE(pressTimes(reader, sender, 2), QByteArray("onlyonly"));
        QCOMPARE(reader.BarcodeLineIndex(), 0);

        reader.setText(QByteArray());
        reader.setTerminatorIndex(BarcodeReader::kCr);
        QCOMPARE(pressTimes(reader, sender, 1), QByteArray("\r"));
        QCOMPARE(reader.BarcodeLineIndex(), 0);
    }

    // The delay the editor stores is the pause after every character of the next code.
    void storedDelayPacesNextCode()
    {
        Keyboard keyboard(state, sender);
        BarcodeReader reader(state, keyboard);
        reader.setText("12");
        reader.setTerminatorIndex(BarcodeReader::kLf);
        reader.applyDelayText("25");
        QCOMPARE(state.barcodeCharDelay, 25);
        QVERIFY_THROWS_EXCEPTION(ConversionError, reader.applyDelayText("2x"));
        QCOMPARE(state.barcodeCharDelay, 25);

        QElapsedTimer clock;
        clock.start();
        reader.btCodigoBarrasClick();
        QVERIFY2(clock.elapsed() >= 3 * 25, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(sender.sends, (QList<QByteArray>{"1", "2", "\n"}));
    }

    void codeFile()
    {
        Keyboard keyboard(state, sender);
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
        file.close();

        const QString unwritable = dir.filePath("missing/Codigo.txt");
        try {
            reader.saveCodes(unwritable);
            QFAIL("a save into a missing folder must fail");
        } catch (const AppError &error) {
            QVERIFY2(error.text().startsWith("Cannot create file \""), qPrintable(error.text()));
        }
        QVERIFY(!QFile::exists(unwritable));
    }

private:
    TerminalState state;
    RecordingSender sender;
};

QTEST_GUILESS_MAIN(TestBarcode)
#include "tst_barcode.moc"
