#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

// The recent sends to the host and reads from it, of every terminal a control
// server watches, kept so that a wait can look back to a sequence number.
//
// Everything lives in one ring of bytes: each send or read is a small header
// (its sequence number, its terminal, its direction and length, the moment it
// was made, so that a wait can time what came after a send) followed by
// its bytes. The ring grows on demand up to the bound and never past it, so
// the memory kept is the bound however small the sends are; the oldest
// records are forgotten to make room. An index of where each record starts
// (8 bytes a record, at most one per header's worth of the bound) lets a wait
// find its first record by its number instead of walking the whole ring.
class HostHistory {
public:
    using Clock = std::chrono::steady_clock;

    explicit HostHistory(qsizetype boundBytes);

    // A record larger than the whole bound empties the history (and is itself forgotten).
    void add(qint64 seq, quint32 member, bool sent, const QByteArray &bytes);
    // The highest sequence number no longer kept (0 while nothing was forgotten).
    qint64 forgotten() const { return m_forgotten; }
    // Hands on, oldest first, the records of member numbered above afterSeq.
    void forEachAfter(qint64 afterSeq, quint32 member,
                      const std::function<void(bool sent, const QByteArray &bytes)> &visit) const;
    // When member first sent to the host after afterSeq; nothing when it has
    // not sent since, or that send is no longer kept.
    std::optional<Clock::time_point> firstSentAfter(qint64 afterSeq, quint32 member) const;

    // The memory the history holds: its ring, allocated (never above the bound).
    qsizetype memoryBytes() const { return qsizetype(m_ring.size()); }
    // Bytes of records (headers included) in the ring.
    qsizetype usedBytes() const { return m_used; }
    qsizetype records() const { return qsizetype(m_starts.size()); }

    static constexpr qsizetype kHeaderBytes = 24;

private:
    struct Header {
        qint64 seq;
        quint32 member;
        quint32 sizeAndDirection; // the high bit: sent
        qint64 at;                // Clock ticks since its epoch
    };

    void copyIn(qsizetype at, const char *data, qsizetype size);
    void copyOut(qsizetype at, char *data, qsizetype size) const;
    Header headerAt(qsizetype at) const;
    // Where in the ring the record that starts at stream position `start` lies.
    qsizetype ringOffset(qint64 start) const;
    // The first indexed record numbered above afterSeq.
    std::deque<qint64>::const_iterator firstAfter(qint64 afterSeq) const;
    void reserve(qsizetype needed);
    void dropOldest();

    qsizetype m_bound;
    std::vector<char> m_ring;
    qsizetype m_begin = 0; // where the oldest record starts in the ring
    qsizetype m_used = 0;
    // Stream positions (bytes ever appended before it) of the records kept, oldest first.
    std::deque<qint64> m_starts;
    qint64 m_appended = 0;
    qint64 m_forgotten = 0;
};
