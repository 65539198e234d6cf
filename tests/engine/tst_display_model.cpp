#include "engine/errors.h"

#include "support/engine_fakes.h"

#include <QSignalSpy>
#include <QTest>

#include <climits>

namespace {

// Columns 1-3 and 38-40 of each line: where wraps and back-steps act.
QByteArray edges(const DisplayModel &d)
{
    const auto ends = [](const QByteArray &l) { return l.left(3) + '~' + l.right(3); };
    return ends(d.DisplayLine1()) + '|' + ends(d.DisplayLine2()) + '@' + QByteArray::number(d.CursorRow()) +
           ',' + QByteArray::number(d.CursorCol());
}

} // namespace

class TestDisplayModel : public QObject {
    Q_OBJECT
private slots:
    // Both lines start as 40 dots, so blanked cells show.
    void writeText_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("col");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmno";
        QTest::newRow("41st letter wraps") << 1 << 1 << letters << QByteArray("ABC~lmn|o..~...@2,2");
        QTest::newRow("line 2 wraps to line 1") << 2 << 40 << QByteArray("XY") << QByteArray("Y..~...|...~..X@1,2");
        QTest::newRow("BS at 1,1") << 1 << 1 << QByteArray("\b") << QByteArray("...~...|...~.. @2,40");
        QTest::newRow("BS at 2,1") << 2 << 1 << QByteArray("\b") << QByteArray("...~.. |...~...@1,40");
        QTest::newRow("A B BS") << 1 << 1 << QByteArray("AB\b") << QByteArray("A .~...|...~...@1,2");
        QTest::newRow("BS after column 40") << 1 << 40 << QByteArray("Z\b") << QByteArray("...~.. |...~...@1,40");
        QTest::newRow("row 3 is line 2") << 3 << 40 << QByteArray("PQ") << QByteArray("Q..~...|...~..P@1,2");
        QTest::newRow("column 55") << 1 << 55 << QByteArray("K") << QByteArray("...~...|K..~...@2,2");
        // Out of the display, as only cursor commands leave it.
        QTest::newRow("column 0") << 1 << 0 << QByteArray("K") << QByteArray("K..~...|...~...@1,2");
        QTest::newRow("column INT_MIN") << 2 << INT_MIN << QByteArray("K") << QByteArray("...~...|K..~...@2,2");
        QTest::newRow("column INT_MAX") << 1 << INT_MAX << QByteArray("K") << QByteArray("...~...|K..~...@2,2");
        QTest::newRow("BS from column 0") << 1 << 0 << QByteArray("\b") << QByteArray("...~...|...~.. @2,40");
        QTest::newRow("BS from INT_MIN") << 2 << INT_MIN << QByteArray("\b") << QByteArray("...~.. |...~...@1,40");
        QTest::newRow("BS from column 42") << 1 << 42 << QByteArray("\b") << QByteArray("...~.. |...~...@1,40");
        QTest::newRow("BS from INT_MAX, row 0") << 0 << INT_MAX << QByteArray("\b") << QByteArray("...~...|...~.. @0,40");
    }
    void writeText()
    {
        QFETCH(int, row);
        QFETCH(int, col);
        QFETCH(QByteArray, text);
        DisplayModel display;
        display.WriteText(QByteArray(80, '.'));
        display.setCursorRow(row);
        display.setCursorCol(col);
        display.WriteText(text);
        QTEST(edges(display), "expected");
        QCOMPARE(display.view1() + display.view2(), display.DisplayLine1() + display.DisplayLine2());
    }

    // The fields change only on a refresh; deferred writes must end up the same.
    void fieldsShowTheLastRefresh()
    {
        DisplayModel display;
        QSignalSpy changed(&display, &DisplayModel::viewChanged);
        display.showStatusText(2, "Conectado");
        display.WriteText({});
        QCOMPARE(shown(display), QByteArray("|Conectado"));
        display.WriteText("AB");
        QCOMPARE(shown(display), QByteArray("AB|"));
        display.EraseLine();
        QCOMPARE(shown(display) + screen(display), QByteArray("AB||@1,1"));
        display.WriteText("C");
        QCOMPARE(shown(display), QByteArray("C|"));
        display.ClearDisplay();
        QVERIFY(display.view1().isEmpty() && display.view2().isEmpty());

        changed.clear();
        display.writeDeferred("DE", 2);
        QCOMPARE(changed.count(), 0);
        display.EraseLine();
        display.flushView();
        QCOMPARE(shown(display) + screen(display), QByteArray("DE||@1,1"));
        display.writeDeferred("F", 1);
        display.showStatusText(1, "Finalizando....");
        display.flushView();
        QCOMPARE(shown(display), QByteArray("Finalizando....|"));
        QCOMPARE(changed.count(), 3);
    }

    void moveCursor_data()
    {
        QTest::addColumn<QByteArray>("rowText");
        QTest::addColumn<QByteArray>("colText");
        QTest::addColumn<bool>("zeroBased");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("zero-based") << QByteArray("1") << QByteArray("39") << true << QByteArray("@2,40");
        QTest::newRow("one-based") << QByteArray("1") << QByteArray("39") << false << QByteArray("@1,39");
        QTest::newRow("blanks, signs") << QByteArray(" 2") << QByteArray("-5") << false << QByteArray("@2,-5");
        QTest::newRow("INT_MAX saturates") << QByteArray("2147483647") << QByteArray("2147483647") << true
                                           << QByteArray("@2147483647,2147483647");
        QTest::newRow("bad column, row kept") << QByteArray("2") << QByteArray("x1") << false << QByteArray("@2,7");
        QTest::newRow("empty row") << QByteArray() << QByteArray("01") << false << QByteArray("@1,7");
    }
    void moveCursor()
    {
        QFETCH(QByteArray, rowText);
        QFETCH(QByteArray, colText);
        QFETCH(bool, zeroBased);
        DisplayModel display;
        display.setCursorCol(7);
        try {
            display.MoveCursor(rowText, colText, zeroBased);
        } catch (const ConversionError &) {
        }
        QTEST(screen(display).mid(1), "expected");
    }

    void cursorStepsSaturate()
    {
        DisplayModel display;
        display.setCursorCol(INT_MAX);
        display.CursorForward();
        QCOMPARE(display.CursorCol(), INT_MAX);
        display.setCursorCol(INT_MIN);
        display.CursorBack();
        QCOMPARE(display.CursorCol(), INT_MIN);
    }
};

QTEST_GUILESS_MAIN(TestDisplayModel)
#include "tst_display_model.moc"
