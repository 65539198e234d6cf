#pragma once

#include <QByteArray>
#include <QObject>

// The two-line, forty-column display of the terminal: the two line texts, the
// 1-based cursor and the four primitives that change them. The main window's
// two display fields are a view of this model: view1()/view2() hold what they
// show, which is refreshed only by WriteText (and emptied by ClearDisplay), and
// status texts such as "Conectado" can be put into the view without touching
// the lines. viewChanged() tells the window to repaint.
//
// Cursor positions outside the display come only from host cursor commands;
// writes and blanks still land inside columns 1..40 of the two lines: a column
// below 1 acts as column 1, and any column past 40 acts as 41 (past the last
// cell, so the next printable byte wraps and a back-space blanks column 40).
class DisplayModel : public QObject {
    Q_OBJECT
public:
    static constexpr int kColumns = 40;

    explicit DisplayModel(QObject *parent = nullptr);

    const QByteArray &DisplayLine1() const { return m_line1; }
    const QByteArray &DisplayLine2() const { return m_line2; }
    int CursorRow() const { return m_row; }
    int CursorCol() const { return m_col; }

    // Direct cursor changes made by the interpreter (CR, LF, one step forward or back).
    void setCursorRow(int row) { m_row = row; }
    void setCursorCol(int col) { m_col = col; }
    // One column forward or back without writing; they saturate instead of
    // overflowing when a cursor command left the column at an extreme value.
    void CursorForward();
    void CursorBack();
    // Line feed: line 1 becomes line 2, any other row becomes line 1.
    void LineFeed() { m_row = (m_row == 1) ? 2 : 1; }

    void WriteText(const QByteArray &text);
    // WriteText without the refresh of the fields: the interpreter writes a
    // whole delivery this way and calls flushView() once at its end. Any other
    // operation that changes the lines or the fields refreshes the pending
    // writes first, so the fields always end up showing what a refresh after
    // every single write would have left in them.
    void writeDeferred(const char *data, qsizetype size);
    void flushView();
    // Moves row and col as writing the bytes at that cursor would, and returns
    // how many times the text went past column 40 to the other line; no
    // display changes. For watchers that name what a write will do.
    static int followWrite(int &row, int &col, const char *data, qsizetype size);
    // Throws ConversionError when a text is not a decimal integer; the row is
    // stored before the column is converted.
    void MoveCursor(const QByteArray &rowText, const QByteArray &colText, bool zeroBased);
    // MoveCursor with the texts already converted.
    void moveCursorTo(int row, int col, bool zeroBased);
    void ClearDisplay();
    void EraseLine();

    // Main window creation: both lines blank, cursor at row 1, column 1, fields empty.
    void reset();

    // What the two display fields show.
    const QByteArray &view1() const { return m_view1; }
    const QByteArray &view2() const { return m_view2; }
    // Puts a status text straight into a field (line 1 or 2); the model is not changed.
    void showStatusText(int line, const QByteArray &text);

signals:
    void viewChanged();

private:
    QByteArray &currentLine();
    template <typename Store, typename Blank>
    static int walkWrite(int &row, int &col, const char *data, qsizetype size, Store store, Blank blank);
    void refreshView();

    QByteArray m_line1;
    QByteArray m_line2;
    int m_row = 1;
    int m_col = 1;
    QByteArray m_view1;
    QByteArray m_view2;
    bool m_viewPending = false;
};
