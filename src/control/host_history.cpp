#include "control/host_history.h"

#include <algorithm>

void HostHistory::add(qint64 seq, quint32 member, bool sent, const QByteArray &bytes)
{
    m_entries.push_back({seq, member, sent, bytes, Clock::now()});
    m_bytes += bytes.size();
    while (m_bytes > m_bound && !m_entries.empty()) {
        m_bytes -= m_entries.front().bytes.size();
        m_forgotten = m_entries.front().seq;
        m_entries.pop_front();
    }
}

std::deque<HostHistory::Entry>::const_iterator HostHistory::firstAfter(qint64 afterSeq) const
{
    return std::upper_bound(m_entries.begin(), m_entries.end(), afterSeq,
                            [](qint64 seq, const Entry &entry) { return seq < entry.seq; });
}

void HostHistory::forEachAfter(qint64 afterSeq, quint32 member,
                               const std::function<void(bool sent, const QByteArray &bytes)> &visit) const
{
    for (auto it = firstAfter(afterSeq); it != m_entries.end(); ++it)
        if (it->member == member)
            visit(it->sent, it->bytes);
}

std::optional<HostHistory::Clock::time_point> HostHistory::firstSentAfter(qint64 afterSeq, quint32 member) const
{
    for (auto it = firstAfter(afterSeq); it != m_entries.end(); ++it)
        if (it->member == member && it->sent)
            return it->at;
    return std::nullopt;
}
