#pragma once

#include <QAbstractScrollArea>
#include <QByteArray>
#include <QElapsedTimer>
#include <QPoint>

#include <array>
#include <deque>
#include <utility>

class QTextLayout;

// The on-screen log of one output interface. It mirrors a bounded log kept by
// the outputs (a deque of lines plus the count of lines ever added) and keeps
// itself bounded the same way. A sync takes only the lines added since the
// previous one, sharing their bytes with the outputs' log, and drops as many
// from its front: its cost follows what arrived, never what is held. Nothing
// is laid out ahead of time; a paint lays out only the rows in view, and the
// widest line (for the horizontal scroll bar) is kept from a table of
// character advances as lines come and go.
//
// It looks and behaves as a read-only, non-wrapping plain-text view: the same
// margins, rows and scroll bars, the last line kept in view as lines arrive
// unless the user scrolled away (then the same lines stay in view until they
// leave the log), and selection with the mouse, Ctrl+A and Ctrl+C or the
// context menu to copy it. A selection is held by line numbers, so it stays on
// its lines while others arrive.
class OutputLogView : public QAbstractScrollArea
{
    Q_OBJECT
public:
    OutputLogView(const QColor &background, int maxLines, QWidget *parent = nullptr);
    ~OutputLogView() override;

    void sync(const std::deque<QByteArray> &log, quint64 linesAdded);

    int shownLines() const { return static_cast<int>(m_rows.size()); }
    QString lineText(int row) const;
    // The first line in view; lineCount() - visibleRows() when the view follows the end.
    int topRow() const;
    int visibleRows() const { return m_fullRows; }
    int rowHeight() const { return m_rowHeight; }
    bool followsEnd() const { return m_followEnd; }

    bool hasSelection() const { return m_anchor != m_cursor; }
    QString selectedText() const;
    void selectAll();
    // The selection to the clipboard; nothing when there is none.
    void copy() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    // A place in the log: a line by its number among all lines ever added, and
    // a character boundary in it.
    using Position = std::pair<quint64, int>;

    struct Row {
        QByteArray bytes;
        float width;
    };

    void measureFont();
    float widthOf(const QByteArray &bytes) const;
    void append(const QByteArray &bytes);
    void dropFront(std::size_t count);
    void clearRows(quint64 firstLine);
    void updateScrollBars();
    int topPadding() const;
    qreal widestLine() const;

    void layoutRow(QTextLayout &layout, int row) const;
    Position positionAt(QPoint point) const;
    Position clamped(Position position) const;
    void selectWordAt(Position position);
    void selectionChanged();
    void autoScroll(QPoint point);

    int m_maxLines;
    std::deque<Row> m_rows;
    quint64 m_firstLine = 0; // number of m_rows.front()
    quint64 m_linesAdded = 0;
    // Lines in decreasing width, each wider than every later one: the front is
    // the widest line held, and a line leaves when it leaves the log or a wider
    // one arrives after it.
    std::deque<std::pair<quint64, float>> m_widest;

    std::array<float, 256> m_advance{};
    int m_rowHeight = 1;
    int m_fullRows = 0;
    int m_topRow = 0;
    bool m_followEnd = true;
    bool m_adjusting = false;

    Position m_anchor{0, 0};
    Position m_cursor{0, 0};
    bool m_selecting = false;
    // A press soon after a double click on the same spot selects the whole line.
    QElapsedTimer m_sinceDoubleClick;
    QPoint m_doubleClickAt;
};
