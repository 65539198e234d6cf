#include "control/host_history.h"

void HostHistory::add(qint64 seq, quint32 member, bool sent, const QByteArray &bytes)
{
    m_entries.push_back({seq, member, sent, bytes});
    m_bytes += bytes.size();
    while (m_bytes > m_bound && !m_entries.empty()) {
        m_bytes -= m_entries.front().bytes.size();
        m_forgotten = m_entries.front().seq;
        m_entries.pop_front();
    }
}

void HostHistory::forEachAfter(qint64 afterSeq, quint32 member,
                               const std::function<void(bool sent, const QByteArray &bytes)> &visit) const
{
    for (const Entry &entry : m_entries)
        if (entry.seq > afterSeq && entry.member == member)
            visit(entry.sent, entry.bytes);
}
