// The printer and serial log view: it must draw and scroll as the plain-text
// view it replaced did, keep the last line in view unless the user scrolled
// away, stay bounded as lines arrive faster than it is synced, and let the
// user select and copy lines.

#include "ui/output_log_view.h"

#include <QApplication>
#include <QClipboard>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>

#include <deque>
#include <memory>

namespace
{

constexpr int kMaxLines = 50;

// The outputs' side of a log: a bounded deque and the count of lines ever added.
struct Log {
    std::deque<QByteArray> lines;
    quint64 added = 0;

    void add(const QByteArray &line)
    {
        lines.push_back(line);
        ++added;
        if (lines.size() > static_cast<std::size_t>(kMaxLines))
            lines.pop_front();
    }
    void addNumbered(int count, const QByteArray &prefix = "line ")
    {
        for (int i = 0; i < count; ++i)
            add(prefix + QByteArray::number(added) + "(13)(10)");
    }
};

QStringList shown(const OutputLogView &view)
{
    QStringList out;
    for (int row = 0; row < view.shownLines(); ++row)
        out.append(view.lineText(row));
    return out;
}

// The view and, beside it, the plain-text edit the logs used to be, set up
// the same way, in one shown window.
struct Pair {
    Pair()
    {
        window.resize(400, 200);
        view = new OutputLogView(Qt::yellow, kMaxLines, &window);
        view->setGeometry(8, 8, 154, 142);
        reference = new QPlainTextEdit(&window);
        reference->setReadOnly(true);
        reference->setLineWrapMode(QPlainTextEdit::NoWrap);
        reference->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        reference->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        reference->setMaximumBlockCount(kMaxLines);
        reference->setPalette(view->palette());
        reference->setGeometry(200, 8, 154, 142);
        window.show();
    }

    void add(const QByteArray &line)
    {
        log.add(line);
        reference->appendPlainText(QString::fromLatin1(line));
    }
    void sync() { view->sync(log.lines, log.added); }

    QWidget window;
    OutputLogView *view;
    QPlainTextEdit *reference;
    Log log;
};

} // namespace

class TstOutputLogView : public QObject
{
    Q_OBJECT

private slots:
    void drawsAndScrollsAsPlainTextView();
    void followsEndUnlessScrolledAway();
    void mirrorsBoundedLogAcrossSyncs();
    void selectsAndCopiesLines();
};

void TstOutputLogView::drawsAndScrollsAsPlainTextView()
{
    Pair pair;
    QVERIFY(QTest::qWaitForWindowExposed(&pair.window));
    const auto same = [&pair](const char *where) {
        QCoreApplication::processEvents();
        const QScrollBar *vertical = pair.view->verticalScrollBar();
        const QScrollBar *expected = pair.reference->verticalScrollBar();
        QCOMPARE(vertical->maximum(), expected->maximum());
        QCOMPARE(vertical->pageStep(), expected->pageStep());
        QCOMPARE(vertical->value(), expected->value());
        QCOMPARE(pair.view->horizontalScrollBar()->maximum(),
                 pair.reference->horizontalScrollBar()->maximum());
        const QImage ours = pair.view->grab().toImage();
        const QImage theirs = pair.reference->grab().toImage();
        if (ours != theirs) {
            ours.save(QStringLiteral("log_view_%1_ours.png").arg(where));
            theirs.save(QStringLiteral("log_view_%1_expected.png").arg(where));
            QFAIL(qPrintable(QStringLiteral("the view differs from a plain-text view %1").arg(where)));
        }
    };

    same("empty");
    for (const QByteArray line : {"AB(13)(10)", "The quick brown fox(13)(10)", "x"})
        pair.add(line);
    pair.sync();
    same("with three lines");

    for (int i = 0; i < 30; ++i)
        pair.add("jumps over the lazy dog " + QByteArray::number(i) + "(13)(10)");
    pair.sync();
    same("at the end");

    pair.view->verticalScrollBar()->setValue(0);
    pair.reference->verticalScrollBar()->setValue(0);
    same("at the top");
    pair.view->verticalScrollBar()->setValue(7);
    pair.reference->verticalScrollBar()->setValue(7);
    pair.view->horizontalScrollBar()->setValue(40);
    pair.reference->horizontalScrollBar()->setValue(40);
    same("scrolled both ways");
    pair.view->selectAll();
    pair.reference->selectAll();
    same("all selected");

    // The widest line leaves the log: the horizontal range shrinks to the widest left.
    Pair wide;
    wide.log.add(QByteArray(200, 'W'));
    wide.log.addNumbered(3, "a longer line of the printer log ");
    wide.sync();
    const int withWide = wide.view->horizontalScrollBar()->maximum();
    wide.log.addNumbered(kMaxLines, "a longer line of the printer log ");
    wide.sync();
    QVERIFY(wide.view->horizontalScrollBar()->maximum() < withWide);
    QVERIFY(wide.view->horizontalScrollBar()->maximum() > 0);
}

void TstOutputLogView::followsEndUnlessScrolledAway()
{
    Pair pair;
    OutputLogView &view = *pair.view;
    QVERIFY(QTest::qWaitForWindowExposed(&pair.window));
    pair.log.addNumbered(20);
    pair.sync();
    const int rows = view.visibleRows();
    QVERIFY(rows > 2);
    QCOMPARE(view.topRow(), 20 - rows);
    pair.log.addNumbered(5);
    pair.sync();
    QCOMPARE(view.topRow(), 25 - rows);

    // Scrolled up by the user: the same lines stay in view as lines arrive,
    // and as the oldest ones leave the log.
    QTest::keyClick(&view, Qt::Key_PageUp);
    QVERIFY(!view.followsEnd());
    const QString firstInView = view.lineText(view.topRow());
    pair.log.addNumbered(10);
    pair.sync();
    QCOMPARE(view.lineText(view.topRow()), firstInView);
    pair.log.addNumbered(kMaxLines - 30);
    pair.sync();
    QCOMPARE(view.shownLines(), kMaxLines);
    QCOMPARE(view.lineText(view.topRow()), firstInView);

    // Lines the user was reading have gone: the view rests on the oldest.
    pair.log.addNumbered(20);
    pair.sync();
    QCOMPARE(view.topRow(), 0);
    QVERIFY(!view.followsEnd());

    // Back at the end (Ctrl+End), the view follows again.
    QTest::keyClick(&view, Qt::Key_End, Qt::ControlModifier);
    QVERIFY(view.followsEnd());
    pair.log.addNumbered(3);
    pair.sync();
    QCOMPARE(view.topRow(), kMaxLines - rows);
    QCOMPARE(view.lineText(kMaxLines - 1), QString::fromLatin1(pair.log.lines.back()));

    // An emptied log brings a scrolled view back to following its end.
    view.verticalScrollBar()->setValue(0);
    pair.log.lines.clear();
    pair.log.addNumbered(2);
    pair.sync();
    QVERIFY(view.followsEnd());
    pair.log.addNumbered(30);
    pair.sync();
    QCOMPARE(view.topRow(), 32 - rows);
}

void TstOutputLogView::mirrorsBoundedLogAcrossSyncs()
{
    Log log;
    OutputLogView view(Qt::green, kMaxLines);
    log.addNumbered(3);
    view.sync(log.lines, log.added);
    QCOMPARE(shown(view), (QStringList{"line 0(13)(10)", "line 1(13)(10)", "line 2(13)(10)"}));
    view.sync(log.lines, log.added);
    QCOMPARE(view.shownLines(), 3);

    // Emptied and refilled between two syncs: only the new lines.
    log.lines.clear();
    log.add("z");
    view.sync(log.lines, log.added);
    QCOMPARE(shown(view), QStringList{"z"});
    log.lines.clear();
    view.sync(log.lines, log.added);
    QCOMPARE(view.shownLines(), 0);

    // More lines between two syncs than either side keeps, then one at a time.
    log.addNumbered(kMaxLines * 3 + 7);
    view.sync(log.lines, log.added);
    QCOMPARE(view.shownLines(), kMaxLines);
    QCOMPARE(view.lineText(0), QString::fromLatin1(log.lines.front()));
    QCOMPARE(view.lineText(kMaxLines - 1), QString::fromLatin1(log.lines.back()));
    for (int i = 0; i < 4; ++i) {
        log.addNumbered(i);
        view.sync(log.lines, log.added);
        QCOMPARE(view.shownLines(), kMaxLines);
        QCOMPARE(view.lineText(0), QString::fromLatin1(log.lines.front()));
        QCOMPARE(view.lineText(kMaxLines - 1), QString::fromLatin1(log.lines.back()));
    }

    // Bytes are shown in Windows-1252, as every text of the window.
    log.add("\x80\xe7");
    view.sync(log.lines, log.added);
    QCOMPARE(view.lineText(kMaxLines - 1), QString::fromUtf8("€ç"));
}

void TstOutputLogView::selectsAndCopiesLines()
{
    Pair pair;
    OutputLogView &view = *pair.view;
    QVERIFY(QTest::qWaitForWindowExposed(&pair.window));
    for (const QByteArray line : {"alpha beta(13)(10)", "gamma(13)(10)", "delta epsilon(13)(10)"})
        pair.log.add(line);
    pair.sync();
    QWidget *surface = view.viewport();
    const int h = view.rowHeight();
    // Row r's middle; the first row sits below the document margin.
    const auto rowY = [h](int row) { return 4 + row * h + h / 2; };
    const auto leftOf = [&view](int row, int column) {
        return 4 + view.fontMetrics().horizontalAdvance(view.lineText(row).left(column));
    };

    // Double click selects a word, a third click the whole line.
    const QPoint onEpsilon(leftOf(2, 8), rowY(2));
    QTest::mouseDClick(surface, Qt::LeftButton, {}, onEpsilon);
    QCOMPARE(view.selectedText(), QStringLiteral("epsilon"));
    QTest::mousePress(surface, Qt::LeftButton, {}, onEpsilon);
    QTest::mouseRelease(surface, Qt::LeftButton, {}, onEpsilon);
    QCOMPARE(view.selectedText(), QStringLiteral("delta epsilon(13)(10)"));

    // A drag from inside the first line to inside the third.
    QTest::mousePress(surface, Qt::LeftButton, {}, QPoint(leftOf(0, 6) + 1, rowY(0)));
    QTest::mouseMove(surface, QPoint(leftOf(2, 5) + 1, rowY(2)));
    QTest::mouseRelease(surface, Qt::LeftButton, {}, QPoint(leftOf(2, 5) + 1, rowY(2)));
    QCOMPARE(view.selectedText(), QStringLiteral("beta(13)(10)\ngamma(13)(10)\ndelta"));
    QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("beta(13)(10)\ngamma(13)(10)\ndelta"));

    // Shift+click moves the end of the selection.
    QTest::mouseClick(surface, Qt::LeftButton, Qt::ShiftModifier, QPoint(leftOf(1, 2) + 1, rowY(1)));
    QCOMPARE(view.selectedText(), QStringLiteral("beta(13)(10)\nga"));

    // The selection stays on its lines while lines arrive and leave.
    pair.log.addNumbered(kMaxLines - 3);
    pair.sync();
    QCOMPARE(view.selectedText(), QStringLiteral("beta(13)(10)\nga"));
    pair.log.addNumbered(1);
    pair.sync();
    QCOMPARE(view.selectedText(), QStringLiteral("ga"));
    pair.log.addNumbered(2);
    pair.sync();
    QVERIFY(!view.hasSelection());

    // Ctrl+A takes every line; a plain click clears the selection.
    QTest::keyClick(&view, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(view.selectedText().count(QLatin1Char('\n')), kMaxLines - 1);
    QVERIFY(view.selectedText().endsWith(QString::fromLatin1(pair.log.lines.back())));
    QTest::mouseClick(surface, Qt::LeftButton, {}, QPoint(leftOf(1, 1), rowY(1)));
    QVERIFY(!view.hasSelection());

    // After a long run and a clear, a selection holds only the lines the log
    // holds now, however many lines went before.
    pair.log.addNumbered(200000);
    pair.sync();
    pair.log.lines.clear();
    pair.sync();
    pair.log.add("AAA");
    pair.log.add("BBB");
    pair.sync();
    QTest::mouseClick(surface, Qt::LeftButton, Qt::ShiftModifier, QPoint(surface->width() - 2, rowY(1)));
    QCOMPARE(view.selectedText(), QStringLiteral("AAA\nBBB"));
    QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("AAA\nBBB"));
}

QTEST_MAIN(TstOutputLogView)
#include "tst_output_log_view.moc"
