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
    return header;
}

void HostHistory::dropOldest()
{
    const Header header = headerAt(m_begin);
    const qsizetype size = kHeaderBytes + qsizetype(header.sizeAndDirection & ~kSentBit);
    m_begin = (m_begin + size) % qsizetype(m_ring.size());
    m_used -= size;
    --m_records;
    m_forgotten = header.seq;
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
        m_begin = m_used = m_records = 0;
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
    const qsizetype end = m_begin + m_used;
    copyIn(end, header, kHeaderBytes);
    copyIn(end + kHeaderBytes, bytes.constData(), bytes.size());
    m_used += size;
    ++m_records;
}

void HostHistory::forEachAfter(qint64 afterSeq, quint32 member,
                               const std::function<void(bool sent, const QByteArray &bytes)> &visit) const
{
    qsizetype at = m_begin;
    for (qsizetype i = 0; i < m_records; ++i) {
        const Header header = headerAt(at);
        const qsizetype size = qsizetype(header.sizeAndDirection & ~kSentBit);
        if (header.seq > afterSeq && header.member == member) {
            QByteArray bytes(size, Qt::Uninitialized);
            copyOut(at + kHeaderBytes, bytes.data(), size);
            visit((header.sizeAndDirection & kSentBit) != 0, bytes);
        }
        at += kHeaderBytes + size;
    }
}
