#include "engine/display_model.h"

#include "engine/byte_search.h"
#include "engine/errors.h"

#include <climits>
#include <cstring>

namespace {

constexpr char kBackSpace = 0x08;

QByteArray blankLine()
{
    return QByteArray(DisplayModel::kColumns, ' ');
}

int saturatingIncrement(int value)
{
    return value == INT_MAX ? value : value + 1;
}

} // namespace

DisplayModel::DisplayModel(QObject *parent)
    : QObject(parent), m_line1(blankLine()), m_line2(blankLine())
{
}

QByteArray &DisplayModel::currentLine()
{
    return m_row == 1 ? m_line1 : m_line2;
}

void DisplayModel::CursorForward()
{
    m_col = saturatingIncrement(m_col);
}

void DisplayModel::CursorBack()
{
    if (m_col != INT_MIN)
        --m_col;
}

// How writing moves the cursor, for the display and for those who follow it
// without one: a back-space steps back and blanks the cell it reaches (from
// column 1 to column 40 of the other line); any other byte goes to the cursor,
// first to column 1 of the other line when the cursor is past column 40.
// `store` takes each stretch of ordinary bytes with the row and column it
// lands on, `blank` each cell a back-space blanks. Returns how many times the
// text went past column 40.
template <typename Store, typename Blank>
int DisplayModel::walkWrite(int &row, int &col, const char *data, qsizetype size, Store store, Blank blank)
{
    int wraps = 0;
    const char *end = data + size;
    while (data < end) {
        if (*data == kBackSpace) {
            // Columns out of the display behave like the nearest edge position.
            int c = col < 1 ? 1 : (col > kColumns + 1 ? kColumns + 1 : col);
            --c;
            if (c == 0) {
                row = (row == 1) ? 2 : 1;
                c = kColumns;
            }
            blank(row, c);
            col = c;
            ++data;
            continue;
        }
        if (col > kColumns) {
            row = (row == 1) ? 2 : 1;
            col = 1;
            ++wraps;
        } else if (col < 1) {
            col = 1;
        }
        // The longest stretch of ordinary bytes that fits in the current line.
        const qsizetype room = kColumns - col + 1;
        const qsizetype limit = end - data < room ? end - data : room;
        const qsizetype n = bytesearch::find(data, data + limit, kBackSpace) - data;
        store(row, col, data, n);
        col += static_cast<int>(n);
        data += n;
    }
    return wraps;
}

void DisplayModel::writeDeferred(const char *data, qsizetype size)
{
    if (size <= 0)
        return;
    m_viewPending = true;
    walkWrite(
        m_row, m_col, data, size,
        [this](int row, int col, const char *bytes, qsizetype n) {
            std::memcpy((row == 1 ? m_line1 : m_line2).data() + (col - 1), bytes, static_cast<size_t>(n));
        },
        [this](int row, int col) { (row == 1 ? m_line1 : m_line2).data()[col - 1] = ' '; });
}

int DisplayModel::followWrite(int &row, int &col, const char *data, qsizetype size)
{
    return walkWrite(row, col, data, size, [](int, int, const char *, qsizetype) {}, [](int, int) {});
}

void DisplayModel::refreshView()
{
    m_viewPending = false;
    m_view2 = m_line2;
    m_view1 = m_line1;
    emit viewChanged();
}

void DisplayModel::flushView()
{
    if (m_viewPending)
        refreshView();
}

void DisplayModel::WriteText(const QByteArray &text)
{
    if (text.isEmpty())
        return;
    writeDeferred(text.constData(), text.size());
    refreshView();
}

void DisplayModel::MoveCursor(const QByteArray &rowText, const QByteArray &colText, bool zeroBased)
{
    const int row = StrToInt(rowText);
    m_row = zeroBased ? saturatingIncrement(row) : row;
    const int col = StrToInt(colText);
    m_col = zeroBased ? saturatingIncrement(col) : col;
}

void DisplayModel::moveCursorTo(int row, int col, bool zeroBased)
{
    m_row = zeroBased ? saturatingIncrement(row) : row;
    m_col = zeroBased ? saturatingIncrement(col) : col;
}

void DisplayModel::ClearDisplay()
{
    m_viewPending = false;
    m_view1.clear();
    m_view2.clear();
    m_line1 = blankLine();
    m_line2 = blankLine();
    m_row = 1;
    m_col = 1;
    emit viewChanged();
}

void DisplayModel::EraseLine()
{
    // The erased line keeps showing until the next refresh, so earlier writes must reach the fields now.
    flushView();
    currentLine() = blankLine();
    m_col = 1;
}

void DisplayModel::reset()
{
    ClearDisplay();
}

void DisplayModel::showStatusText(int line, const QByteArray &text)
{
    flushView();
    if (line == 1)
        m_view1 = text;
    else
        m_view2 = text;
    emit viewChanged();
}
