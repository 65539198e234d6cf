#pragma once

#include "engine/terminal_observer.h"

#include <QByteArray>
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
struct ControlRequest;

// Commands that a front end adds to the control interface (a fleet's load
// figures, switching a bus address off). run() takes a command it knows and
// returns its reply, or returns nothing for a command it leaves to the
// server; named is the terminal the request chose with "terminal", or
// nullptr. A bad argument throws ControlError.
class ControlExtension {
public:
    virtual ~ControlExtension() = default;
    virtual std::optional<QJsonObject> run(const QString &cmd, const QJsonObject &args, Terminal *named) = 0;
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
// Each client gets a greeting, then sends requests; each request runs through
// the terminal's operator actions, exactly as the matching click, and is
// answered in order once its effects are done. A wait is evaluated here, on
// every change the terminal reports, so it answers as soon as its condition
// holds and never blocks the terminal or other clients. The server watches the
// terminal as an observer: every event gets the next sequence number, whether
// or not a client subscribed to it, and every reply carries the number of the
// last event before it, so a client can act and then wait for what its action
// caused without a race. Recent sends and reads are kept (bounded) so that a
// wait can look back to a sequence number.
//
// Everything a client sends is untrusted: lines are bounded, every argument is
// checked before anything acts, and a client that stops reading is cut off
// once its unread output passes kMaxUnreadBytes.
class ControlServer : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kMaxUnreadBytes = 8 * 1024 * 1024;
    static constexpr qint64 kHistoryBytes = 4 * 1024 * 1024;
    static constexpr qint64 kDefaultWaitMs = 10000;
    static constexpr qint64 kMaxWaitMs = 24LL * 3600 * 1000;

    struct Member {
        QString name;
        Terminal *terminal = nullptr;
    };

    explicit ControlServer(Terminal &terminal, QObject *parent = nullptr);
    // At least one member; names are unique.
    explicit ControlServer(const std::vector<Member> &terminals, QObject *parent = nullptr);
    ~ControlServer() override;

    // Consulted before the built-in commands; nullptr for none.
    void setExtension(ControlExtension *extension) { m_extension = extension; }

    // "unix:PATH" or "tcp:PORT" (PORT 0 picks a free one). On failure returns
    // false and a sentence for the user in *error.
    bool listen(const QString &spec, QString *error);
    // Stops listening, drops every client and removes the socket file.
    void close();
    // "unix:/absolute/path" or "tcp:127.0.0.1:PORT".
    QString address() const;
    // The secret a TCP client must present first; empty for a local socket.
    QString token() const { return m_token; }
    // {"ready":{"control":...,"pid":...,"token":...}} without the newline.
    QByteArray readyLine() const;
    int clientCount() const { return int(m_sessions.size()); }
    qint64 lastSeq() const { return m_seq; }

private:
    struct Session;
    struct Wait;
    struct Watch;
    using SessionPtr = std::shared_ptr<Session>;
    struct HistoryEntry {
        qint64 seq;
        const Watch *watch;
        bool sent;
        QByteArray bytes;
    };

    void addSession(QIODevice *io, bool tcp, std::function<void()> abort);
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

    // The terminal a request names with "terminal", the first when it names none.
    Watch &target(const QJsonObject &args) const;
    QJsonObject stateObject(const Watch &watch) const;
    QJsonObject fleetList() const;
    QJsonObject logObject(const Watch &watch, const QJsonObject &args) const;
    QJsonObject startWait(const SessionPtr &session, const ControlRequest &request, Watch &watch);
    bool waitHolds(const Wait &wait) const;
    void checkWaits();
    void finishWait(const SessionPtr &session, bool timedOut);

    // Gives the event the next number and sends it to the clients subscribed to it.
    void publish(const QString &name, QJsonObject fields, const Watch &watch);
    bool wanted(const QString &name) const;
    void publishNewLines(Watch &watch, bool printer);
    void publishDisplay(Watch &watch);
    void remember(const Watch &watch, bool sent, const QByteArray &bytes);
    // A send to the host or a read from it: its event, its place in the history, the waits on it.
    void passedHost(Watch &watch, bool sent, const QByteArray &bytes);

    // What each terminal's observer hands on.
    using LinkEvent = TerminalObserver::LinkEvent;
    void hostDataReceived(Watch &watch, const QByteArray &bytes);
    void hostDataSent(Watch &watch, const QByteArray &bytes);
    void linkChanged(Watch &watch, LinkEvent event, const QString &peer, const QString &detail);
    void displayChanged(Watch &watch);
    void ledsChanged(Watch &watch);
    void messageShown(Watch &watch, const QString &caption, const QString &text);
    void faultFired(Watch &watch, int id, const QString &kind, const QString &what);

    std::vector<std::unique_ptr<Watch>> m_watches;
    ControlExtension *m_extension = nullptr;
    QLocalServer *m_local = nullptr;
    QTcpServer *m_tcp = nullptr;
    QString m_token;
    std::vector<SessionPtr> m_sessions;
    qint64 m_seq = 0;
    // Sends and reads of every terminal, kept together so that the bound holds for the whole fleet.
    std::deque<HistoryEntry> m_history;
    qint64 m_historyBytes = 0;
    qint64 m_historyForgotten = 0; // the highest sequence number no longer kept
};
