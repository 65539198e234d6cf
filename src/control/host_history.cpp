#include "control/host_history.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr quint32 kSentBit = 0x80000000u;
constexpr qsizetype kFirstRingBytes = 64 * 1024;

} // namespace

HostHistory::HostHistory(qsizetype boundBytes) : m_bound(std::max<qsizetype>(boundBytes, kHeaderBytes + 1)) {}

void HostHistory::copyIn(qsizetype at, const char *data, qsizetype size)
{
    const qsizetype capacity = qsizetype(m_ring.size());
    at %= capacity;
    const qsizetype first = std::min(size, capacity - at);
    std::memcpy(m_ring.data() + at, data, std::size_t(first));
    std::memcpy(m_ring.data(), data + first, std::size_t(size - first));
}

void HostHistory::copyOut(qsizetype at, char *data, qsizetype size) const
{
    const qsizetype capacity = qsizetype(m_ring.size());
    at %= capacity;
    const qsizetype first = std::min(size, capacity - at);
    std::memcpy(data, m_ring.data() + at, std::size_t(first));
    std::memcpy(data + first, m_ring.data(), std::size_t(size - first));
}

HostHistory::Header HostHistory::headerAt(qsizetype at) const
{
    char raw[kHeaderBytes];
    copyOut(at, raw, kHeaderBytes);
    Header header{};
    std::memcpy(&header.seq, raw, 8);
    std::memcpy(&header.member, raw + 8, 4);
    std::memcpy(&header.sizeAndDirection, raw + 12, 4);
    std::memcpy(&header.at, raw + 16, 8);
    return header;
}

void HostHistory::dropOldest()
{
    const Header header = headerAt(m_begin);
    const qsizetype size = kHeaderBytes + qsizetype(header.sizeAndDirection & ~kSentBit);
    m_begin = (m_begin + size) % qsizetype(m_ring.size());
    m_used -= size;
    m_starts.pop_front();
    m_forgotten = header.seq;
}

qsizetype HostHistory::ringOffset(qint64 start) const
{
    // The oldest record starts at m_begin, and at stream position m_appended - m_used.
    return (m_begin + qsizetype(start - (m_appended - m_used))) % qsizetype(m_ring.size());
}

std::deque<qint64>::const_iterator HostHistory::firstAfter(qint64 afterSeq) const
{
    return std::partition_point(m_starts.begin(), m_starts.end(),
                                [this, afterSeq](qint64 start) { return headerAt(ringOffset(start)).seq <= afterSeq; });
}

void HostHistory::reserve(qsizetype needed)
{
    const qsizetype capacity = qsizetype(m_ring.size());
    if (needed <= capacity || capacity >= m_bound)
        return;
    qsizetype grown = std::max(capacity * 2, kFirstRingBytes);
    while (grown < needed)
        grown *= 2;
    grown = std::min(grown, m_bound);
    // The records move to the start of the new ring, in order.
    std::vector<char> ring(std::size_t(grown), 0);
    if (m_used > 0)
        copyOut(m_begin, ring.data(), m_used);
    m_ring = std::move(ring);
    m_begin = 0;
}

void HostHistory::add(qint64 seq, quint32 member, bool sent, const QByteArray &bytes)
{
    const qsizetype size = kHeaderBytes + bytes.size();
    if (size > m_bound) {
        m_ring.clear();
        m_ring.shrink_to_fit();
        m_begin = m_used = 0;
        m_starts.clear();
        m_forgotten = seq;
        return;
    }
    reserve(m_used + size);
    while (m_used + size > qsizetype(m_ring.size()))
        dropOldest();
    char header[kHeaderBytes];
    const quint32 sizeAndDirection = quint32(bytes.size()) | (sent ? kSentBit : 0u);
    std::memcpy(header, &seq, 8);
    std::memcpy(header + 8, &member, 4);
    std::memcpy(header + 12, &sizeAndDirection, 4);
    const qint64 at = Clock::now().time_since_epoch().count();
    std::memcpy(header + 16, &at, 8);
    const qsizetype end = m_begin + m_used;
    copyIn(end, header, kHeaderBytes);
    copyIn(end + kHeaderBytes, bytes.constData(), bytes.size());
    m_starts.push_back(m_appended);
    m_appended += size;
    m_used += size;
}

void HostHistory::forEachAfter(qint64 afterSeq, quint32 member,
                               const std::function<void(bool sent, const QByteArray &bytes)> &visit) const
{
    for (auto it = firstAfter(afterSeq); it != m_starts.end(); ++it) {
        const qsizetype at = ringOffset(*it);
        const Header header = headerAt(at);
        if (header.member != member)
            continue;
        const qsizetype size = qsizetype(header.sizeAndDirection & ~kSentBit);
        QByteArray bytes(size, Qt::Uninitialized);
        copyOut(at + kHeaderBytes, bytes.data(), size);
        visit((header.sizeAndDirection & kSentBit) != 0, bytes);
    }
}

std::optional<HostHistory::Clock::time_point> HostHistory::firstSentAfter(qint64 afterSeq, quint32 member) const
{
    for (auto it = firstAfter(afterSeq); it != m_starts.end(); ++it) {
        const Header header = headerAt(ringOffset(*it));
        if (header.member == member && (header.sizeAndDirection & kSentBit) != 0)
            return Clock::time_point(Clock::duration(header.at));
    }
    return std::nullopt;
}
