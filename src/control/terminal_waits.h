#pragma once

#include "engine/terminal_observer.h"

#include <QByteArray>
#include <QJsonValue>
#include <QObject>
#include <QRegularExpression>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <optional>

class QTimer;
class Terminal;

// Waiting, in the program, for a condition on one terminal: what the control
// command "wait" evaluates, usable without a control connection (a replay of
// a conversation waits the same way).
//
//   WaitCondition  what to wait for, read from the JSON object of "until":
//                  {"display": REGEX, "printer": REGEX, "connected": BOOL,
//                   "sent": HEX, "received": HEX}, all of them at once.
//   WaitProgress   one wait's condition with what it has seen so far of the
//                  sends, reads and printer lines; holds() evaluates it on
//                  the terminal as it is now.
//   TerminalWaits  the pending waits of one terminal: it watches the terminal
//                  (as its observer, or fed by one), re-evaluates each wait
//                  whenever what it depends on may have changed, and calls the
//                  wait's callback once: held, timed out, or ended.
//
// Typical use, with the terminal observed directly:
//
//   TerminalWaits waits(terminal);
//   WaitProgress progress(terminal, WaitCondition::fromJson(until));  // throws ControlError
//   if (progress.holds(terminal))
//       ...                                    // no waiting needed
//   else
//       waits.add(std::move(progress), timeoutMs, [](WaitOutcome outcome) { ... });
//
// The display and the connection are read from the terminal when evaluated;
// sends, reads and printer lines are streams, so a wait sees those that come
// after it begins, plus what its creator feeds it first (printer lines still in
// the log are counted when it is made; past sends and reads are fed with
// sawSent/sawReceived).
struct WaitCondition {
    // The largest bytes pattern a sent/received condition may look for.
    static constexpr qsizetype kMaxPatternBytes = 64 * 1024;

    std::optional<QRegularExpression> display; // matches either shown line
    std::optional<QRegularExpression> printer; // matches one printer line
    std::optional<bool> connected;             // the host connection is up (or down)
    std::optional<QByteArray> sent;            // these bytes in a row went to the host
    std::optional<QByteArray> received;        // these bytes in a row came from the host
    // A condition of the waiter's own on what the terminal shows (a
    // conversation's expectation), evaluated with the others after every
    // change of the display, the LEDs, the logs or the connection.
    std::function<bool(Terminal &)> shows;

    // Reads "until": an object with at least one condition. Throws ControlError
    // (bad_argument) naming the condition at fault.
    static WaitCondition fromJson(const QJsonValue &until);
};

class WaitProgress {
public:
    // Printer lines still in the terminal's log count already.
    WaitProgress(Terminal &terminal, WaitCondition condition);

    void sawSent(const QByteArray &bytes);
    void sawReceived(const QByteArray &bytes);
    void sawPrinterLine(const QString &line);

    bool holds(Terminal &terminal) const;
    const WaitCondition &condition() const { return m_condition; }

private:
    // A byte pattern in a stream handed over in pieces; keeps only the tail a match could still begin in.
    struct StreamMatch {
        QByteArray pattern;
        QByteArray tail;
        bool found = false;
        void feed(const QByteArray &bytes);
    };

    WaitCondition m_condition;
    bool m_printerFound = false;
    std::optional<StreamMatch> m_sent;
    std::optional<StreamMatch> m_received;
};

enum class WaitOutcome {
    Held,     // the condition held
    TimedOut, // the time given ran out first
    Ended,    // ended by end() or endAll(), or the TerminalWaits went away
};

class TerminalWaits : public TerminalObserver {
public:
    using Id = quint64;
    using Done = std::function<void(WaitOutcome)>;

    enum class Feed {
        ObserveTerminal, // adds itself as an observer of the terminal (and removes itself when destroyed)
        Forwarded,       // an observer of the terminal forwards the calls below to it
    };

    explicit TerminalWaits(Terminal &terminal, Feed feed = Feed::ObserveTerminal);
    ~TerminalWaits() override; // ends every wait left, without calling back
    TerminalWaits(const TerminalWaits &) = delete;
    TerminalWaits &operator=(const TerminalWaits &) = delete;

    Terminal &terminal() const { return m_terminal; }

    // Keeps a wait until its condition holds or timeoutMs passes, then calls
    // done once (synchronously, from the observer call that made it hold, or
    // from the timer). The caller checks holds() first: a wait that holds
    // already is kept until the next change. done may add or end other waits,
    // and may destroy this object.
    Id add(WaitProgress progress, qint64 timeoutMs, Done done);
    // Ends one wait; done is called with Ended when callBack. False if it is no longer kept.
    bool end(Id id, bool callBack = false);
    // Ends every wait, calling each one's done with Ended.
    void endAll();
    bool empty() const { return m_waits.empty(); }

    // Re-evaluates every wait (after a change the observer calls do not report).
    void check();

    // What the waits depend on.
    void hostDataReceived(const QByteArray &bytes) override;
    void hostDataSent(const QByteArray &bytes) override;
    void linkChanged(LinkEvent event, const QString &peer, const QString &detail) override;
    void displayChanged() override;
    void printerChanged() override;
    void ledsChanged() override;
    void serialChanged() override;

private:
    struct Pending {
        std::unique_ptr<WaitProgress> progress;
        Done done;
        QTimer *timer = nullptr;
    };

    void finish(Id id, WaitOutcome outcome);
    // Re-evaluates when a wait has a condition of its own, which any change may concern.
    void checkOwnConditions();
    void passedHost(bool sent, const QByteArray &bytes);

    Terminal &m_terminal;
    Feed m_feed;
    std::map<Id, Pending> m_waits;
    // The timers' parent: a timer that ended goes later, the rest with this object.
    std::unique_ptr<QObject> m_timers = std::make_unique<QObject>();
    Id m_next = 1;
    quint64 m_printerSeen = 0;
    // Set to false when destroyed, so a loop that called back can tell.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};
