#include "engine/display_model.h"
#include "engine/errors.h"

#include "support/engine_fakes.h"

#include <QSignalSpy>
#include <QTest>

#include <climits>

class TestDisplayModel : public QObject {
    Q_OBJECT
private slots:
    // Both lines start filled with '.', so blanked cells are visible.
    void writeText_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("col");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("line1");
        QTest::addColumn<QByteArray>("line2");
        QTest::addColumn<int>("endRow");
        QTest::addColumn<int>("endCol");

        const QByteArray abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmn";
        QTest::newRow("41st letter wraps to line 2")
            << 1 << 1 << abc + "o" << abc << displayLine("o", {}, '.') << 2 << 2;
        QTest::newRow("line 2 wraps to line 1, no scroll")
            << 2 << 40 << QByteArray("XY") << displayLine("Y", {}, '.') << displayLine({}, "X", '.') << 1 << 2;
        QTest::newRow("BS at row 1 col 1") << 1 << 1 << QByteArray("\b") << displayLine({}, {}, '.')
                                           << displayLine({}, " ", '.') << 2 << 40;
        QTest::newRow("BS at row 2 col 1") << 2 << 1 << QByteArray("\b") << displayLine({}, " ", '.')
                                           << displayLine({}, {}, '.') << 1 << 40;
        QTest::newRow("A B BS") << 1 << 1 << QByteArray("AB\b") << displayLine("A ", {}, '.')
                                << displayLine({}, {}, '.') << 1 << 2;
        QTest::newRow("BS after column 40 blanks 40 on the same line")
            << 1 << 40 << QByteArray("Z\b") << displayLine({}, " ", '.') << displayLine({}, {}, '.') << 1 << 40;
        QTest::newRow("row 3 is line 2 and wraps to line 1")
            << 3 << 40 << QByteArray("PQ") << displayLine("Q", {}, '.') << displayLine({}, "P", '.') << 1 << 2;
        QTest::newRow("column 55 wraps at the next byte")
            << 1 << 55 << QByteArray("K") << displayLine({}, {}, '.') << displayLine("K", {}, '.') << 2 << 2;
        QTest::newRow("control bytes are stored") << 1 << 1 << QByteArray("\r\n\x1b")
                                                  << displayLine("\r\n\x1b", {}, '.') << displayLine({}, {}, '.') << 1 << 4;

        // Positions that only cursor commands produce: nothing lands outside the two lines.
        QTest::newRow("column 0 writes column 1")
            << 1 << 0 << QByteArray("K") << displayLine("K", {}, '.') << displayLine({}, {}, '.') << 1 << 2;
        QTest::newRow("column -5 writes column 1")
            << 2 << -5 << QByteArray("K") << displayLine({}, {}, '.') << displayLine("K", {}, '.') << 2 << 2;
        QTest::newRow("column INT_MIN writes column 1")
            << 1 << INT_MIN << QByteArray("K") << displayLine("K", {}, '.') << displayLine({}, {}, '.') << 1 << 2;
        QTest::newRow("column INT_MAX wraps")
            << 1 << INT_MAX << QByteArray("K") << displayLine({}, {}, '.') << displayLine("K", {}, '.') << 2 << 2;
        QTest::newRow("BS from column 0 acts as from column 1")
            << 1 << 0 << QByteArray("\b") << displayLine({}, {}, '.') << displayLine({}, " ", '.') << 2 << 40;
        QTest::newRow("BS from column INT_MIN") << 2 << INT_MIN << QByteArray("\b") << displayLine({}, " ", '.')
                                                << displayLine({}, {}, '.') << 1 << 40;
        QTest::newRow("BS from column 42 blanks 40")
            << 1 << 42 << QByteArray("\b") << displayLine({}, " ", '.') << displayLine({}, {}, '.') << 1 << 40;
        QTest::newRow("BS from column INT_MAX blanks 40")
            << 0 << INT_MAX << QByteArray("\b") << displayLine({}, {}, '.') << displayLine({}, " ", '.') << 0 << 40;
        QTest::newRow("row -5 is line 2")
            << -5 << 1 << QByteArray("K") << displayLine({}, {}, '.') << displayLine("K", {}, '.') << -5 << 2;
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
        QTEST(display.DisplayLine1(), "line1");
        QTEST(display.DisplayLine2(), "line2");
        QTEST(display.CursorRow(), "endRow");
        QTEST(display.CursorCol(), "endCol");
        QCOMPARE(display.view1(), display.DisplayLine1());
        QCOMPARE(display.view2(), display.DisplayLine2());
    }

    void viewShowsOnlyRefreshedState()
    {
        DisplayModel display;
        QSignalSpy changed(&display, &DisplayModel::viewChanged);
        display.showStatusText(2, "Conectado");
        display.WriteText({});
        QCOMPARE(display.view2(), QByteArray("Conectado"));
        QVERIFY(display.view1().isEmpty());

        display.WriteText("AB");
        QCOMPARE(display.view1(), displayLine("AB"));
        QCOMPARE(display.view2(), displayLine({}));

        display.EraseLine();
        QCOMPARE(display.DisplayLine1(), displayLine({}));
        QCOMPARE(display.view1(), displayLine("AB"));
        QCOMPARE(display.CursorCol(), 1);
        display.WriteText("C");
        QCOMPARE(display.view1(), displayLine("C"));

        display.ClearDisplay();
        QVERIFY(display.view1().isEmpty() && display.view2().isEmpty());
        QCOMPARE(display.DisplayLine1(), displayLine({}));
        QCOMPARE(std::make_pair(display.CursorRow(), display.CursorCol()), std::make_pair(1, 1));
        QVERIFY(changed.count() >= 4);
    }

    // Deferred writes must leave the fields as a refresh after every write would.
    void deferredWritesRefreshBeforeOtherChanges()
    {
        DisplayModel display;
        QSignalSpy changed(&display, &DisplayModel::viewChanged);
        display.writeDeferred("ABC", 3);
        QVERIFY(display.view1().isEmpty());
        QCOMPARE(changed.count(), 0);
        display.EraseLine();
        QCOMPARE(display.view1(), displayLine("ABC"));
        display.flushView();
        display.flushView();
        QCOMPARE(display.view1(), displayLine("ABC"));
        QCOMPARE(changed.count(), 1);

        display.writeDeferred("D", 1);
        display.showStatusText(1, "Finalizando....");
        display.flushView();
        QCOMPARE(display.view1(), QByteArray("Finalizando...."));
        QCOMPARE(display.view2(), displayLine({}));
    }

    void moveCursor_data()
    {
        QTest::addColumn<QByteArray>("rowText");
        QTest::addColumn<QByteArray>("colText");
        QTest::addColumn<bool>("zeroBased");
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("col");
        QTest::newRow("zero-based 1 39") << QByteArray("1") << QByteArray("39") << true << 2 << 40;
        QTest::newRow("one-based 1 39") << QByteArray("1") << QByteArray("39") << false << 1 << 39;
        QTest::newRow("blanks and signs") << QByteArray(" 2") << QByteArray("-5") << false << 2 << -5;
        QTest::newRow("zero-based INT_MAX saturates")
            << QByteArray("2147483647") << QByteArray("2147483647") << true << INT_MAX << INT_MAX;
        QTest::newRow("zero-based -1") << QByteArray("-1") << QByteArray("-1") << true << 0 << 0;
    }
    void moveCursor()
    {
        QFETCH(QByteArray, rowText);
        QFETCH(QByteArray, colText);
        QFETCH(bool, zeroBased);
        DisplayModel display;
        display.MoveCursor(rowText, colText, zeroBased);
        QTEST(display.CursorRow(), "row");
        QTEST(display.CursorCol(), "col");
    }

    void moveCursorStoresRowBeforeFailingColumn()
    {
        DisplayModel display;
        display.setCursorCol(7);
        QVERIFY_THROWS_EXCEPTION(ConversionError, display.MoveCursor("2", "x1", false));
        QCOMPARE(display.CursorRow(), 2);
        QCOMPARE(display.CursorCol(), 7);
        QVERIFY_THROWS_EXCEPTION(ConversionError, display.MoveCursor("", "01", false));
        QCOMPARE(display.CursorRow(), 2);
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
