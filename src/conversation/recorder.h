#pragma once

#include "conversation/conversation_file.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <functional>

namespace conversation {

// Turns what an operator does into the lines of a conversation file. Before
// each action it writes an expectation with what the terminal showed at that
// moment (and the time since the line before), then the action; at the end,
// what the terminal showed at the stop. Keys typed in a row with nothing from
// the host between them become one "type" line.
//
// Every line goes to the writer as soon as it is complete, so a crash loses at
// most the action in progress (a "type" still collecting keys). A writer that
// fails ends the recording: nothing more is written.
class Recorder {
public:
    // Writes one line (with its newline); false when it could not.
    using LineWriter = std::function<bool(const QByteArray &line)>;

    explicit Recorder(LineWriter writer);

    bool begin(const QJsonObject &settings, const QDateTime &now, qint64 nowMs);
    // An action about to run. before: what the terminal shows; hostReads: the
    // reads from the host so far; nowMs: a steady clock.
    bool action(const QString &command, const QJsonObject &args, const Screen &before, quint64 hostReads,
                qint64 nowMs);
    bool end(const Screen &atStop, qint64 nowMs);

    bool failed() const { return m_failed; }
    // Actions recorded, keys of a "type" counted one by one.
    int actions() const { return m_actions; }

private:
    bool write(const QByteArray &line);
    bool flushPending();
    bool canJoin(const QString &command, const QJsonObject &args, const Screen &before, quint64 hostReads) const;

    LineWriter m_writer;
    bool m_failed = false;
    bool m_pending = false;
    QString m_pendingCommand;
    QJsonObject m_pendingArgs;
    quint64 m_readsAtPending = 0;
    Screen m_lastExpected;
    qint64 m_lastLineMs = 0;
    int m_actions = 0;
};

} // namespace conversation
