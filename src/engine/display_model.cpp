#include "engine/display_model.h"

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

QByteArray &DisplayModel::otherLine()
{
    return m_row == 1 ? m_line2 : m_line1;
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

void DisplayModel::backSpace()
{
    // Columns out of the display behave like the nearest edge position.
    int col = m_col < 1 ? 1 : (m_col > kColumns + 1 ? kColumns + 1 : m_col);
    --col;
    if (col == 0) {
        m_row = (m_row == 1) ? 2 : 1;
        col = kColumns;
    }
    currentLine().data()[col - 1] = ' ';
    m_col = col;
}

void DisplayModel::writeDeferred(const char *data, qsizetype size)
{
    if (size <= 0)
        return;
    m_viewPending = true;
    const char *end = data + size;
    while (data < end) {
        if (*data == kBackSpace) {
            backSpace();
            ++data;
            continue;
        }
        if (m_col > kColumns) {
            m_row = (m_row == 1) ? 2 : 1;
            m_col = 1;
        } else if (m_col < 1) {
            m_col = 1;
        }
        // Copy the longest stretch of ordinary bytes that fits in the current line.
        const qsizetype room = kColumns - m_col + 1;
        qsizetype n = 0;
        const qsizetype limit = end - data < room ? end - data : room;
        while (n < limit && data[n] != kBackSpace)
            ++n;
        std::memcpy(currentLine().data() + (m_col - 1), data, static_cast<size_t>(n));
        m_col += static_cast<int>(n);
        data += n;
    }
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
