#pragma once

#include "control/control_command.h"
#include "control/host_history.h"
#include "control/terminal_waits.h"
#include "engine/operations.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QSet>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QIODevice;
class QLocalServer;
class QTcpServer;
class Terminal;

// A transport that carries whole messages (a WebSocket) rather than lines:
// one request per message in, one reply or event per message out.
class MessageChannel {
public:
    virtual ~MessageChannel() = default;
    virtual void send(const QByteArray &message) = 0;
    // What was handed to send() and has not left yet.
    virtual qint64 unsentBytes() const = 0;
    // Ends the connection once what was sent has gone.
    virtual void hangUp() = 0;
    virtual void abort() = 0;
};

// A client's connection: its framing state, its subscriptions and the wait
// its request is pending on. Commands see it through CommandContext.
struct ControlSession {
    // What a client may do: everything, or only look (state, logs, events).
    enum class Access { Operate, View };

    // Lines on io, or messages through channel.
    QIODevice *io = nullptr;
    std::shared_ptr<MessageChannel> channel;
    std::deque<QByteArray> inbox;
    qint64 inboxBytes = 0;
    std::function<void()> abort;
    bool tcp = false;
    bool authenticated = false;
    Access access = Access::Operate;
    // Set for a session whose tokens are not the server's (the browser's links).
    std::function<std::optional<Access>(const QString &token)> authenticate;
    // A request is running, waiting or has its operation's steps to go;
    // the client's further lines stay unread until it is answered.
    bool busy = false;
    bool discarding = false;
    bool closed = false;
    QByteArray buffer;
    qsizetype consumed = 0;
    QSet<QString> events;
    // Events of these terminals only ("terminals" of subscribe); all when unset.
    std::optional<QSet<QString>> terminals;
    // With merge_ms, the display, leds and connection events of one terminal
    // go out at most once per period, the latest of them.
    qint64 mergeMs = 0;
    std::vector<QJsonObject> merged;
    QHash<QString, qsizetype> mergedAt; // event name and terminal -> index in merged
    bool flushScheduled = false;
    // Events left out while a message client read too slowly; told with a "dropped" event.
    qint64 dropped = 0;
    bool drainScheduled = false;

    struct PendingWait {
        std::weak_ptr<ControlMember> member;
        TerminalWaits::Id id = 0;
        QJsonValue requestId;
        qint64 timeoutMs = 0;
        // What the reply carries once the condition holds; nothing when empty.
        std::function<QJsonObject()> heldReply;
    };
    std::optional<PendingWait> wait;

    // An operator action whose steps are still running on its terminal.
    struct PendingOperation {
        QJsonValue requestId;
        QString terminal;
        std::function<QJsonObject()> reply;
        std::optional<OperationStack::Outcome> outcome; // over while the handler still ran
    };
    std::optional<PendingOperation> operation;
    bool executing = false;
};

// The control interface of one terminal, or of several in one process: test
// suites and scripts drive the terminals and read them back over a local
// socket (owner-only) or a loopback TCP port (with a token), one JSON object
// per line each way.
//
// With several terminals each has a name; a request chooses one with
// "terminal" (the first by default), every event carries the name of the
// terminal it comes from, and "state" without a name lists them all. With one
// terminal none of this appears, so its protocol is that of a lone terminal.
//
// This class is the transport and the sessions: it listens, greets each
// client, cuts its input into lines, looks each request's command up in the
// table (control_command.h; the commands live in control_commands_*.cpp by
// theme) and answers in order once the command's effects are done. Every event
// of every terminal gets the next sequence number, whether or not a client
// subscribed to it, and every reply carries the number of the last event
// before it, so a client can act and then wait for what its action caused
// without a race. Recent sends and reads are kept (bounded) so that a wait can
// look back to a sequence number.
//
// Clients may also bring their own transport of whole messages (the browser's
// WebSockets, see web/web_console.h): one request per message, the same table
// and the same replies and events. Their tokens say what they may do: operate,
// or only look (every acting command is refused with "forbidden"). Such a
// client that reads too slowly misses events (it is told how many with a
// "dropped" event) rather than being cut off at once.
//
// Everything a client sends is untrusted: lines are bounded, every argument is
// checked before anything acts, and a client that stops reading is cut off
// once its unread output passes kMaxUnreadBytes. Who is let in at all (the
// deadline to authenticate, the caps on connections) is in
// control_listener.cpp, with the listening sockets.
class ControlServer : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kMaxUnreadBytes = 8 * 1024 * 1024;
    static constexpr qint64 kHistoryBytes = 4 * 1024 * 1024;
    static constexpr qint64 kDefaultWaitMs = 10000;
    static constexpr qint64 kMaxWaitMs = 24LL * 3600 * 1000;
    // A TCP client has this long to authenticate before it is cut off.
    static constexpr int kAuthDeadlineMs = 5000;
    // Connections beyond these are refused with one line that says why.
    static constexpr qsizetype kMaxWaitingForAuth = 16;
    // ... plus one for every terminal served.
    static constexpr qsizetype kMaxSessions = 64;
    static constexpr int kAcceptRetryMs = 100;
    // A message client (a browser) with this much unsent gets no more events
    // until it has read them; it is told how many it missed.
    static constexpr qint64 kMaxUnsentEventBytes = 1024 * 1024;
    // Requests of a message client waiting while one runs; more are refused.
    static constexpr qsizetype kMaxInbox = 256;
    static constexpr qint64 kMaxInboxBytes = 4 * 1024 * 1024;
    static constexpr qint64 kMaxMergeMs = 10000;

    struct Member {
        QString name;
        Terminal *terminal = nullptr;
    };

    explicit ControlServer(Terminal &terminal, QObject *parent = nullptr);
    // At least one member; names are unique.
    explicit ControlServer(const std::vector<Member> &terminals, QObject *parent = nullptr);
    ~ControlServer() override;

    // Adds commands to the table; one with the name of a command already there takes its place.
    void addCommands(const ControlCommands &commands);

    // A command about the set of terminals rather than one of them
    // ("fleet.list", built in; "fleet.add", "fleet.remove"): it runs without choosing a member, so
    // even while the program runs no terminal; it reads every argument before
    // it acts, throwing ControlError. Looked up before the table.
    struct ServerCommand {
        QString name;
        std::function<QJsonObject(ControlServer &server, const QJsonObject &args)> run;
    };
    void addServerCommands(const std::vector<ServerCommand> &commands);
    // A fleet may shrink to no terminal at all (terminals come and go through
    // fleet.add and fleet.remove); requests for a terminal then get "no_terminal".
    void setEmptyAllowed(bool allowed) { m_emptyAllowed = allowed; }

    // "unix:PATH" or "tcp:PORT" (PORT 0 picks a free one). On failure returns
    // false and a sentence for the user in *error.
    bool listen(const QString &spec, QString *error);
    // Stops listening, drops every client and removes the socket file.
    void close();
    // "unix:/absolute/path" or "tcp:127.0.0.1:PORT".
    QString address() const;
    // The secret a TCP client must present first; empty for a local socket.
    QString token() const { return m_token; }
    // {"ready":{"control":...,"pid":...,"token":...}} without the newline,
    // with the fields of extra added (what else of the run listens).
    QByteArray readyLine(const QJsonObject &extra = {}) const;
    int clientCount() const { return int(m_sessions.size()); }
    qint64 lastSeq() const { return m_seq; }
    // Adds a key to the ready line's object ("web" with the browser's links).
    void setReadyField(const QString &key, const QJsonValue &value) { m_readyExtra.insert(key, value); }

    // ---- Clients that bring their own transport (the browser's WebSockets) ----

    using SessionHandle = std::weak_ptr<ControlSession>;
    // Admits a message client, which must authenticate first with a token
    // that authenticate accepts; the access it gives holds for the session.
    // Refused (told why, then aborted) past the caps on connections; the
    // handle is then empty.
    SessionHandle openMessageSession(std::shared_ptr<MessageChannel> channel,
                                     std::function<std::optional<ControlSession::Access>(const QString &)> authenticate);
    // One message the client sent: one request.
    void deliverMessage(const SessionHandle &handle, const QByteArray &message);
    // The client went away.
    void closeMessageSession(const SessionHandle &handle);
    // The commands a viewer may run; every other is refused with "forbidden".
    static bool viewerMayRun(const QString &cmd);

    // ---- The terminals served; they may change while clients are connected ----

    // Serves one more terminal from now on. False, with a sentence in *error,
    // when the name is empty or taken.
    bool addMember(const Member &member, QString *error);
    // Stops serving a terminal: its observer hook and trace are detached and
    // every wait on it is answered with the error "terminal_removed". The
    // terminal may be destroyed once control is back in the event loop;
    // whoever removes it ends its operations, which answers the requests
    // still waiting for them with "terminal_removed" too.
    // False when no member has that name, or it is the last one and the
    // server may not be empty (setEmptyAllowed).
    bool removeMember(const QString &name);
    const std::vector<std::shared_ptr<ControlMember>> &members() const { return m_members; }

    // ---- For the commands ----

    // Gives the event the next number and sends it to the clients subscribed to it.
    void publish(const QString &name, QJsonObject fields, const ControlMember &member);
    // "fleet" events: a terminal came ("added") or went ("removed").
    void publishFleetChange(const QString &change, const QString &terminal);
    // Numbers for events nobody received (log lines nobody looked at).
    void skipEvents(qint64 count) { m_seq += count; }
    bool wanted(const QString &name) const;
    // A session's subscriptions changed: wanted() looks at every session again.
    void subscriptionsChanged() { m_wantedStale = true; }
    HostHistory &history() { return m_history; }
    // Leaves the request of context pending until progress holds on its terminal
    // (reply {}), or timeoutMs passes (error "timeout" with the terminal's state).
    // heldReply, when given, makes the "ok" object of that reply.
    void beginWait(CommandContext &context, WaitProgress progress, qint64 timeoutMs,
                   std::function<QJsonObject()> heldReply = {});
    // Leaves the request of context pending until the operation that is given
    // the returned callback is over: then it is answered with reply() (or {}),
    // or with the error "terminal_removed" when the operation ended unfinished.
    OperationStack::Done replyWhenDone(CommandContext &context, std::function<QJsonObject()> reply = {});
    // Whether the client of session is still there, asked later.
    std::function<bool()> sessionOpen(const ControlSession &session) const;

private:
    using SessionPtr = std::shared_ptr<ControlSession>;

    // control_listener.cpp: who is let in.
    void admit(QIODevice *io, bool tcp, std::function<void()> abort);
    void startAuthDeadline(const SessionPtr &session);
    bool tokenMatches(const QString &offered) const;

    QString admissionRefusal(bool needsAuth) const;
    void reportRefusal(const QString &refusal);
    QByteArray refusalLine(const QString &refusal) const;
    void addSession(QIODevice *io, bool tcp, std::function<void()> abort);
    void deliverEvent(const SessionPtr &session, const QString &name, const QString &terminal,
                      const QJsonObject &fields);
    void flushMerged(const SessionPtr &session);
    void sendEvent(const SessionPtr &session, const QJsonObject &fields);
    void scheduleDrainCheck(const SessionPtr &session);
    // The "dropped" event: how many events the session missed since the last one.
    void writeDropped(const SessionPtr &session);
    void dropSession(const SessionPtr &session);
    void pump(const SessionPtr &session);
    void schedulePump(const SessionPtr &session);
    void hangUp(const SessionPtr &session);
    void handleLine(const SessionPtr &session, const QByteArray &line);
    QJsonObject execute(const SessionPtr &session, const ControlRequest &request);
    void write(const SessionPtr &session, const QJsonObject &object);
    void reply(const SessionPtr &session, const QJsonValue &id, const QJsonObject &ok);
    void replyError(const SessionPtr &session, const QJsonValue &id, const QString &code, const QString &message,
                    const QJsonObject &extra = {});
    void finishWait(const SessionPtr &session, WaitOutcome outcome);
    void finishOperation(const SessionPtr &session);
    void requestAnswered(const SessionPtr &session);
    void endWait(ControlSession &session);
    SessionPtr sessionFor(const ControlSession &session) const;

    // The terminal a request names with "terminal", the first when it names none.
    ControlMember &target(const QJsonObject &args) const;

    std::vector<std::shared_ptr<ControlMember>> m_members;
    quint32 m_nextMember = 1;
    QHash<QString, ControlCommand> m_commands;
    QHash<QString, ServerCommand> m_serverCommands;
    bool m_emptyAllowed = false;
    QLocalServer *m_local = nullptr;
    QTcpServer *m_tcp = nullptr;
    QString m_token;
    bool m_refusalReported = false;
    QJsonObject m_readyExtra;
    std::vector<SessionPtr> m_sessions;
    // The event names some session subscribed to: every event of every terminal asks.
    mutable QSet<QString> m_wanted;
    mutable bool m_wantedStale = true;
    qint64 m_seq = 0;
    // Sends and reads of every terminal, kept together so that the bound holds for the whole fleet.
    HostHistory m_history{kHistoryBytes};
};

namespace control {
// "glance": a few facts of many terminals at once, for a view of a large
// fleet (control_commands_glance.cpp).
ControlServer::ServerCommand glanceCommand();
} // namespace control
