#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <deque>
#include <functional>

// The recent sends to the host and reads from it, of every terminal a control
// server watches, kept so that a wait can look back to a sequence number.
// The oldest are forgotten once the bytes kept pass the bound.
class HostHistory {
public:
    explicit HostHistory(qsizetype boundBytes) : m_bound(boundBytes) {}

    void add(qint64 seq, quint32 member, bool sent, const QByteArray &bytes);
    // The highest sequence number no longer kept (0 while nothing was forgotten).
    qint64 forgotten() const { return m_forgotten; }
    // Hands on, oldest first, the records of member numbered above afterSeq.
    void forEachAfter(qint64 afterSeq, quint32 member,
                      const std::function<void(bool sent, const QByteArray &bytes)> &visit) const;

private:
    struct Entry {
        qint64 seq;
        quint32 member;
        bool sent;
        QByteArray bytes;
    };

    qsizetype m_bound;
    std::deque<Entry> m_entries;
    qsizetype m_bytes = 0;
    qint64 m_forgotten = 0;
};
