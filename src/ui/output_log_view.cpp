#include "ui/output_log_view.h"

#include "engine/cp1252.h"

#include <QScrollBar>

#include <algorithm>

namespace
{

QString joined(std::deque<QByteArray>::const_iterator begin, std::deque<QByteArray>::const_iterator end)
{
    QString text;
    for (auto it = begin; it != end; ++it) {
        if (it != begin)
            text += QLatin1Char('\n');
        text += fromCp1252(*it);
    }
    return text;
}

} // namespace

OutputLogView::OutputLogView(const QColor &background, int maxLines, QWidget *parent)
    : QPlainTextEdit(parent), m_maxLines(maxLines)
{
    setReadOnly(true);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setMaximumBlockCount(maxLines);
    setUndoRedoEnabled(false);
    QPalette colours = palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        colours.setColor(group, QPalette::Base, background);
        colours.setColor(group, QPalette::Text, Qt::black);
    }
    setPalette(colours);
}

void OutputLogView::sync(const std::deque<QByteArray> &log, quint64 linesAdded)
{
    const auto logSize = static_cast<quint64>(log.size());
    const quint64 fresh = std::min(linesAdded - m_linesAdded, logSize);
    const quint64 kept = logSize - fresh;
    // Lines still in the log from before this sync: as many as the view shows,
    // less those the bound pushed out of the log's front.
    const quint64 expectedKept =
        std::min<quint64>(static_cast<quint64>(m_shownLines),
                          static_cast<quint64>(m_maxLines) - std::min<quint64>(fresh, m_maxLines));
    m_linesAdded = linesAdded;
    if (kept != expectedKept || (fresh == logSize && m_shownLines > 0)) {
        rebuild(log);
        return;
    }
    if (fresh == 0)
        return;
    appendPlainText(joined(log.end() - static_cast<std::ptrdiff_t>(fresh), log.end()));
    m_shownLines = static_cast<int>(std::min<quint64>(m_shownLines + fresh, m_maxLines));
}

void OutputLogView::rebuild(const std::deque<QByteArray> &log)
{
    setPlainText(joined(log.begin(), log.end()));
    m_shownLines = static_cast<int>(log.size());
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}
