#include "ui/output_log_view.h"

#include "engine/cp1252.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleHints>
#include <QTextLayout>

#include <algorithm>
#include <cmath>
#include <limits>

namespace
{

// The margin a plain-text document keeps around its text, on every side.
constexpr int kMargin = 4;
// Pixels the horizontal scroll bar moves per step, as in a plain-text edit.
constexpr int kHorizontalStep = 20;

bool isWordCharacter(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('_');
}

} // namespace

OutputLogView::OutputLogView(const QColor &background, int maxLines, QWidget *parent)
    : QAbstractScrollArea(parent), m_maxLines(std::max(1, maxLines))
{
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setFocusPolicy(Qt::WheelFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    QPalette colours = palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        colours.setColor(group, QPalette::Base, background);
        colours.setColor(group, QPalette::Text, Qt::black);
    }
    setPalette(colours);
    horizontalScrollBar()->setSingleStep(kHorizontalStep);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        if (m_adjusting)
            return;
        // The user's own scrolling: the end is followed again only from the last line.
        m_topRow = value;
        m_followEnd = value >= verticalScrollBar()->maximum();
    });
    measureFont();
    updateScrollBars();
}

OutputLogView::~OutputLogView() = default;

void OutputLogView::sync(const std::deque<QByteArray> &log, quint64 linesAdded)
{
    const auto logSize = static_cast<quint64>(log.size());
    const quint64 fresh = std::min(linesAdded - m_linesAdded, logSize);
    const quint64 kept = logSize - fresh;
    const auto held = static_cast<quint64>(m_rows.size());
    // Lines still in the log from before this sync: as many as the view holds,
    // less those the bound pushed out of the log's front.
    const quint64 expectedKept =
        std::min<quint64>(held, static_cast<quint64>(m_maxLines) - std::min<quint64>(fresh, m_maxLines));
    m_linesAdded = linesAdded;
    bool changed = fresh > 0;
    auto from = log.end() - static_cast<std::ptrdiff_t>(fresh);
    const bool emptied = kept != expectedKept;
    if (emptied || (fresh == logSize && held > 0)) {
        // Emptied, or every line held replaced, since the last sync: start
        // again from the log. Only an emptied log brings a scrolled view back
        // to its end; a flood leaves it on the oldest lines.
        clearRows(linesAdded - logSize);
        m_followEnd = m_followEnd || emptied;
        from = log.begin();
        changed = true;
    } else if (held > kept) {
        const quint64 dropped = held - kept;
        dropFront(static_cast<std::size_t>(dropped));
        if (!m_followEnd)
            m_topRow = static_cast<int>(std::max<qint64>(0, m_topRow - static_cast<qint64>(dropped)));
        changed = true;
    }
    if (!changed)
        return;
    for (auto it = from; it != log.end(); ++it)
        append(*it);
    dropFront(m_rows.size() > static_cast<std::size_t>(m_maxLines)
                  ? m_rows.size() - static_cast<std::size_t>(m_maxLines)
                  : 0);
    updateScrollBars();
    viewport()->update();
}

QString OutputLogView::lineText(int row) const
{
    if (row < 0 || row >= shownLines())
        return {};
    return fromCp1252(m_rows[static_cast<std::size_t>(row)].bytes);
}

int OutputLogView::topRow() const
{
    return verticalScrollBar()->value();
}

// ---- Rows and widths ----

void OutputLogView::measureFont()
{
    // Log lines hold only the shown forms of bytes, characters 0x20..0x7F; the
    // table covers every byte so that any text still gets a sensible width.
    const QFontMetricsF metrics(font());
    for (int b = 0; b < 256; ++b) {
        const QString character = fromCp1252(QByteArray(1, static_cast<char>(b)));
        m_advance[static_cast<std::size_t>(b)] = static_cast<float>(metrics.horizontalAdvance(character));
    }
    // The row height is the height the text layout gives a line of this font.
    QTextLayout probe(QStringLiteral("X"), font());
    probe.beginLayout();
    const QTextLine line = probe.createLine();
    probe.endLayout();
    m_rowHeight = std::max(1, static_cast<int>(std::ceil(line.height())));
    m_widest.clear();
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        Row &row = m_rows[i];
        row.width = widthOf(row.bytes);
        const quint64 number = m_firstLine + i;
        while (!m_widest.empty() && m_widest.back().second <= row.width)
            m_widest.pop_back();
        m_widest.emplace_back(number, row.width);
    }
}

float OutputLogView::widthOf(const QByteArray &bytes) const
{
    float width = 0;
    for (const char b : bytes)
        width += m_advance[static_cast<unsigned char>(b)];
    return width;
}

void OutputLogView::append(const QByteArray &bytes)
{
    const float width = widthOf(bytes);
    const quint64 number = m_firstLine + m_rows.size();
    m_rows.push_back({bytes, width});
    while (!m_widest.empty() && m_widest.back().second <= width)
        m_widest.pop_back();
    m_widest.emplace_back(number, width);
}

void OutputLogView::dropFront(std::size_t count)
{
    count = std::min(count, m_rows.size());
    if (count == 0)
        return;
    m_rows.erase(m_rows.begin(), m_rows.begin() + static_cast<std::ptrdiff_t>(count));
    m_firstLine += count;
    while (!m_widest.empty() && m_widest.front().first < m_firstLine)
        m_widest.pop_front();
    m_anchor = clamped(m_anchor);
    m_cursor = clamped(m_cursor);
}

void OutputLogView::clearRows(quint64 firstLine)
{
    m_rows.clear();
    m_widest.clear();
    m_topRow = 0;
    // The selection starts again on the first line to come, not on a line that has gone.
    m_firstLine = firstLine;
    m_anchor = m_cursor = {firstLine, 0};
}

qreal OutputLogView::widestLine() const
{
    return m_widest.empty() ? 0 : static_cast<qreal>(m_widest.front().second);
}

void OutputLogView::updateScrollBars()
{
    m_adjusting = true;
    // Whole rows that fit above the document's bottom margin, as a plain-text edit counts them.
    m_fullRows = std::max(0, (viewport()->height() - 2 * kMargin - 1) / m_rowHeight);
    const int rows = shownLines();
    const int maximum = std::max(0, rows - m_fullRows);
    QScrollBar *vertical = verticalScrollBar();
    vertical->setRange(0, maximum);
    vertical->setPageStep(std::max(1, std::min(m_fullRows, rows)));
    if (m_followEnd)
        m_topRow = maximum;
    m_topRow = std::clamp(m_topRow, 0, maximum);
    vertical->setValue(m_topRow);
    m_followEnd = m_topRow >= maximum;

    QScrollBar *horizontal = horizontalScrollBar();
    const int documentWidth = static_cast<int>(widestLine() + 2 * kMargin);
    horizontal->setRange(0, std::max(0, documentWidth - viewport()->width()));
    horizontal->setPageStep(viewport()->width());
    m_adjusting = false;
}

int OutputLogView::topPadding() const
{
    // The document's top margin scrolls away with the first line.
    return topRow() == 0 ? kMargin : 0;
}

// ---- Painting ----

void OutputLogView::layoutRow(QTextLayout &layout, int row) const
{
    layout.setText(lineText(row));
    layout.setFont(font());
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    if (line.isValid()) {
        line.setLineWidth(std::numeric_limits<int>::max() / 256.0);
        line.setPosition(QPointF(0, 0));
    }
    layout.endLayout();
}

void OutputLogView::paintEvent(QPaintEvent *event)
{
    QPainter painter(viewport());
    painter.setPen(palette().color(QPalette::Text));
    const QRect area = event->rect();
    const Position from = std::min(m_anchor, m_cursor);
    const Position to = std::max(m_anchor, m_cursor);
    const bool selecting = from != to;
    QTextCharFormat highlight;
    highlight.setBackground(palette().brush(QPalette::Highlight));
    highlight.setForeground(palette().brush(QPalette::HighlightedText));

    const int top = topRow();
    const qreal x = kMargin - horizontalScrollBar()->value();
    for (int row = top; row < shownLines(); ++row) {
        const int y = topPadding() + (row - top) * m_rowHeight;
        if (y >= area.bottom() + 1)
            break;
        if (y + m_rowHeight <= area.top())
            continue;
        QTextLayout layout;
        layoutRow(layout, row);
        QList<QTextLayout::FormatRange> selection;
        const quint64 number = m_firstLine + static_cast<quint64>(row);
        if (selecting && number >= from.first && number <= to.first) {
            const int length = layout.text().size();
            const int start = number == from.first ? from.second : 0;
            // A selection that goes on past the line's end also covers its line break.
            const int end = number == to.first ? to.second : length + 1;
            if (end > start)
                selection.append({start, end - start, highlight});
        }
        layout.draw(&painter, QPointF(x, y), selection);
    }
}

void OutputLogView::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    updateScrollBars();
}

void OutputLogView::scrollContentsBy(int, int)
{
    viewport()->update();
}

void OutputLogView::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        measureFont();
        updateScrollBars();
        viewport()->update();
    }
}

// ---- Selection ----

OutputLogView::Position OutputLogView::clamped(Position position) const
{
    if (m_rows.empty())
        return {m_firstLine, 0};
    if (position.first < m_firstLine)
        return {m_firstLine, 0};
    const quint64 last = m_firstLine + m_rows.size() - 1;
    if (position.first > last)
        return {last, static_cast<int>(m_rows.back().bytes.size())};
    const int length =
        static_cast<int>(m_rows[static_cast<std::size_t>(position.first - m_firstLine)].bytes.size());
    return {position.first, std::clamp(position.second, 0, length)};
}

OutputLogView::Position OutputLogView::positionAt(QPoint point) const
{
    if (m_rows.empty())
        return {m_firstLine, 0};
    const int offset = point.y() - topPadding();
    const int row = topRow() + (offset < 0 ? -1 : offset / m_rowHeight);
    if (row < 0)
        return {m_firstLine, 0};
    if (row >= shownLines())
        return clamped({m_firstLine + m_rows.size(), 0});
    QTextLayout layout;
    layoutRow(layout, row);
    const qreal x = point.x() + horizontalScrollBar()->value() - kMargin;
    const int column = layout.lineCount() > 0 ? layout.lineAt(0).xToCursor(x) : 0;
    return clamped({m_firstLine + static_cast<quint64>(row), column});
}

QString OutputLogView::selectedText() const
{
    // Only lines the view holds: the text never outgrows the log.
    const Position from = clamped(std::min(m_anchor, m_cursor));
    const Position to = clamped(std::max(m_anchor, m_cursor));
    QString text;
    for (quint64 number = from.first; number <= to.first && from != to; ++number) {
        const QString line = lineText(static_cast<int>(number - m_firstLine));
        const int start = number == from.first ? from.second : 0;
        const int end = number == to.first ? to.second : static_cast<int>(line.size());
        text += line.mid(start, end - start);
        if (number != to.first)
            text += QLatin1Char('\n');
    }
    return text;
}

void OutputLogView::selectAll()
{
    if (m_rows.empty())
        return;
    m_anchor = {m_firstLine, 0};
    m_cursor = clamped({m_firstLine + m_rows.size(), 0});
    selectionChanged();
}

void OutputLogView::copy() const
{
    if (hasSelection())
        QGuiApplication::clipboard()->setText(selectedText());
}

void OutputLogView::selectionChanged()
{
    viewport()->update();
}

void OutputLogView::selectWordAt(Position position)
{
    const QString line = lineText(static_cast<int>(position.first - m_firstLine));
    int start = std::min(position.second, static_cast<int>(line.size()));
    int end = start;
    if (end < line.size() && isWordCharacter(line.at(end))) {
        while (start > 0 && isWordCharacter(line.at(start - 1)))
            --start;
        while (end < line.size() && isWordCharacter(line.at(end)))
            ++end;
    } else if (end < line.size()) {
        ++end; // a single non-word character
    }
    m_anchor = {position.first, start};
    m_cursor = {position.first, end};
    selectionChanged();
}

void OutputLogView::autoScroll(QPoint point)
{
    // Dragging past the top or bottom edge carries the selection on, a line per move.
    if (point.y() < 0)
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    else if (point.y() > viewport()->height())
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
}

void OutputLogView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    const QPoint point = event->position().toPoint();
    const Position at = positionAt(point);
    if (m_sinceDoubleClick.isValid() &&
        m_sinceDoubleClick.elapsed() < QGuiApplication::styleHints()->mouseDoubleClickInterval() &&
        (point - m_doubleClickAt).manhattanLength() < QGuiApplication::styleHints()->startDragDistance()) {
        m_sinceDoubleClick.invalidate();
        m_anchor = {at.first, 0};
        m_cursor = clamped({at.first, std::numeric_limits<int>::max()});
        selectionChanged();
        return;
    }
    if (!(event->modifiers() & Qt::ShiftModifier))
        m_anchor = at;
    m_cursor = at;
    m_selecting = true;
    selectionChanged();
}

void OutputLogView::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_selecting || !(event->buttons() & Qt::LeftButton))
        return;
    const QPoint point = event->position().toPoint();
    autoScroll(point);
    m_cursor = positionAt(point);
    selectionChanged();
}

void OutputLogView::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !m_selecting)
        return;
    m_selecting = false;
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (hasSelection() && clipboard->supportsSelection())
        clipboard->setText(selectedText(), QClipboard::Selection);
}

void OutputLogView::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const QPoint point = event->position().toPoint();
    selectWordAt(positionAt(point));
    m_sinceDoubleClick.start();
    m_doubleClickAt = point;
}

void OutputLogView::keyPressEvent(QKeyEvent *event)
{
    if (event == QKeySequence::Copy) {
        copy();
    } else if (event == QKeySequence::SelectAll) {
        selectAll();
    } else if (event == QKeySequence::MoveToStartOfDocument) {
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMinimum);
    } else if (event == QKeySequence::MoveToEndOfDocument) {
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMaximum);
    } else {
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    event->accept();
}

void OutputLogView::contextMenuEvent(QContextMenuEvent *event)
{
    // The two commands of a read-only text view, in the words Qt's translations give them.
    QMenu menu(this);
    QAction *copyAction = menu.addAction(QCoreApplication::translate("QWidgetTextControl", "&Copy"));
    copyAction->setShortcut(QKeySequence::Copy);
    copyAction->setEnabled(hasSelection());
    connect(copyAction, &QAction::triggered, this, &OutputLogView::copy);
    menu.addSeparator();
    QAction *all = menu.addAction(QCoreApplication::translate("QWidgetTextControl", "Select All"));
    all->setShortcut(QKeySequence::SelectAll);
    all->setEnabled(!m_rows.empty());
    connect(all, &QAction::triggered, this, &OutputLogView::selectAll);
    menu.exec(event->globalPos());
}
