#pragma once

#include "conversation/conversation_file.h"
#include "conversation/mismatch_report.h"
#include "conversation/screen_reading.h"
#include "control/terminal_waits.h"
#include "engine/operations.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <map>
#include <memory>
#include <vector>

class Terminal;
class Tracer;

// Replays one conversation on one terminal. Before the first step the
// settings of the file's header (protocol, role, Comutadora) are compared with
// the terminal's; then, line by line, each expectation is waited for inside the
// program, as the control interface's waits are (TerminalWaits: evaluated again
// after every change the terminal reports) until it holds or the step's time
// runs out, and each action runs through the terminal's operator actions, as
// its control command does. The next step starts once the change's work is
// done, never inside a delivery. Nothing sleeps a fixed time: a slow host is waited for, a fast one is
// not raced. With pacing, an action also waits until the time the recording
// took since the action before has passed.
//
// The first expectation that does not hold ends the replay, unless updating:
// then the observed values are kept for an updated copy and the replay goes on.
class ConversationReplay : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kDefaultStepTimeoutMs = 10000;
    // The trace kept for one step's report; beyond it only the latest part is kept.
    static constexpr qsizetype kMaxStepTraceBytes = 64 * 1024;

    struct Options {
        qint64 stepTimeoutMs = kDefaultStepTimeoutMs;
        bool update = false;
        bool paceReal = false;
        QString terminalName; // in a fleet
    };

    ConversationReplay(Terminal &terminal, const conversation::Conversation &conversation, const Options &options,
                       QObject *parent = nullptr);
    ~ConversationReplay() override;

    void start();
    bool isFinished() const { return m_finished; }
    bool passed() const { return m_finished && m_settingsError.isEmpty() && m_mismatches.empty(); }
    // Why nothing was replayed: the terminal's settings differ from the header's.
    const QString &settingsError() const { return m_settingsError; }
    const std::vector<conversation::Mismatch> &mismatches() const { return m_mismatches; }
    // The file with the observed values where they differ; empty when nothing differed.
    QByteArray updatedText() const;
    int expectationsMet() const { return m_met; }
    // From start() to the end (or until now while running).
    qint64 elapsedMs() const { return m_finished ? m_elapsedMs : m_clock.elapsed(); }

    // The settings of the header that differ from the terminal's, in a sentence; empty when none.
    static QString settingsDifference(const conversation::Conversation &conversation, Terminal &terminal);

signals:
    void finished();

private:
    void advance();
    void waitFor(const conversation::Step &step);
    void waited(WaitOutcome outcome);
    void timedOut();
    void act(const conversation::Step &step);
    void finish();
    void traceRecord(const QByteArray &text);
    conversation::Screen screenNow() const;

    Terminal &m_terminal;
    const conversation::Conversation &m_conversation;
    Options m_options;
    std::unique_ptr<Tracer> m_tracer;
    std::unique_ptr<TerminalWaits> m_waits;
    QByteArray m_stepTrace;
    QTimer m_paceTimer;
    QElapsedTimer m_clock;
    QElapsedTimer m_sinceAction;
    QElapsedTimer m_waitClock;
    conversation::LogMarks m_marks;
    std::size_t m_index = 0;
    int m_expectation = 0;
    int m_met = 0;
    const conversation::Step *m_lastAction = nullptr;
    qint64 m_pacedMs = 0;
    qint64 m_elapsedMs = 0;
    bool m_waiting = false;
    bool m_advancing = false;
    // An action's steps still run (a barcode, a function key, a reset): the next step waits for them.
    bool m_acting = false;
    bool m_finished = false;
    QString m_settingsError;
    std::vector<conversation::Mismatch> m_mismatches;
    std::map<int, QByteArray> m_updatedLines;
};

// Runs a conversation's action on a terminal as its control command does;
// done hears when its steps are over (at once for most actions).
void performConversationAction(Terminal &terminal, const QString &command, const QJsonObject &args,
                               OperationStack::Done done = {});
