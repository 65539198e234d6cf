#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>

// The recent sends to the host and reads from it, of every terminal a control
// server watches, kept so that a wait can look back to a sequence number.
// The oldest are forgotten once the bytes kept pass the bound. Each record
// keeps the moment it was made, so a wait can time what came after a send.
class HostHistory {
public:
    using Clock = std::chrono::steady_clock;

    explicit HostHistory(qsizetype boundBytes) : m_bound(boundBytes) {}

    void add(qint64 seq, quint32 member, bool sent, const QByteArray &bytes);
    // The highest sequence number no longer kept (0 while nothing was forgotten).
    qint64 forgotten() const { return m_forgotten; }
    // Hands on, oldest first, the records of member numbered above afterSeq.
    void forEachAfter(qint64 afterSeq, quint32 member,
                      const std::function<void(bool sent, const QByteArray &bytes)> &visit) const;
    // When member first sent to the host after afterSeq; nothing when it has
    // not sent since, or that send is no longer kept.
    std::optional<Clock::time_point> firstSentAfter(qint64 afterSeq, quint32 member) const;

private:
    struct Entry {
        qint64 seq;
        quint32 member;
        bool sent;
        QByteArray bytes;
        Clock::time_point at;
    };
    // The first record numbered above afterSeq (records are kept in order of their numbers).
    std::deque<Entry>::const_iterator firstAfter(qint64 afterSeq) const;

    qsizetype m_bound;
    std::deque<Entry> m_entries;
    qsizetype m_bytes = 0;
    qint64 m_forgotten = 0;
};
