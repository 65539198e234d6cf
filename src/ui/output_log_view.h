#pragma once

#include <QByteArray>
#include <QPlainTextEdit>

#include <deque>

// The on-screen log of one output interface. It mirrors a bounded log kept by
// the outputs (a deque of lines plus the count of lines ever added) and keeps
// itself bounded the same way. A sync appends only the lines added since the
// previous one, so a host that prints for hours costs one append per sync, not
// a rebuild; when the log was emptied or more lines arrived than it keeps, the
// view is rebuilt from what the log holds.
class OutputLogView : public QPlainTextEdit
{
    Q_OBJECT
public:
    OutputLogView(const QColor &background, int maxLines, QWidget *parent = nullptr);

    void sync(const std::deque<QByteArray> &log, quint64 linesAdded);
    int shownLines() const { return m_shownLines; }

private:
    void rebuild(const std::deque<QByteArray> &log);

    int m_maxLines;
    int m_shownLines = 0;
    quint64 m_linesAdded = 0;
};
