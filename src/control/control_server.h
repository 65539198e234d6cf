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
#include <vector>

class QIODevice;
class QLocalServer;
class QTcpServer;
class Terminal;
struct ControlRequest;

// The control interface of one terminal: test suites and scripts drive the
// terminal and read it back over a local socket (owner-only) or a loopback TCP
// port (with a token), one JSON object per line each way.
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
class ControlServer : public QObject, private TerminalObserver {
    Q_OBJECT
public:
    static constexpr qint64 kMaxUnreadBytes = 8 * 1024 * 1024;
    static constexpr qint64 kHistoryBytes = 4 * 1024 * 1024;
    static constexpr qint64 kDefaultWaitMs = 10000;
    static constexpr qint64 kMaxWaitMs = 24LL * 3600 * 1000;

    explicit ControlServer(Terminal &terminal, QObject *parent = nullptr);
    ~ControlServer() override;

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
    using SessionPtr = std::shared_ptr<Session>;
    struct HistoryEntry {
        qint64 seq;
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

    QJsonObject stateObject() const;
    QJsonObject logObject(const QJsonObject &args) const;
    QJsonObject startWait(const SessionPtr &session, const ControlRequest &request);
    bool waitHolds(const Wait &wait) const;
    void checkWaits();
    void finishWait(const SessionPtr &session, bool timedOut);

    // Gives the event the next number and sends it to the clients subscribed to it.
    void publish(const QString &name, QJsonObject fields);
    bool wanted(const QString &name) const;
    void publishNewLines(bool printer);
    void publishDisplay();
    void remember(bool sent, const QByteArray &bytes);
    // A send to the host or a read from it: its event, its place in the history, the waits on it.
    void passedHost(bool sent, const QByteArray &bytes);

    // TerminalObserver
    void hostDataReceived(const QByteArray &bytes) override;
    void hostDataSent(const QByteArray &bytes) override;
    void linkChanged(LinkEvent event, const QString &peer, const QString &detail) override;
    void displayChanged() override;
    void ledsChanged() override;
    void printerChanged() override;
    void serialChanged() override;
    void messageShown(const QString &caption, const QString &text) override;
    void faultFired(int id, const QString &kind, const QString &what) override;

    Terminal &m_terminal;
    QLocalServer *m_local = nullptr;
    QTcpServer *m_tcp = nullptr;
    QString m_token;
    std::vector<SessionPtr> m_sessions;
    qint64 m_seq = 0;
    bool m_displayPending = false;
    quint64 m_printerSeen = 0;
    quint64 m_serialSeen = 0;
    std::deque<HistoryEntry> m_history;
    qint64 m_historyBytes = 0;
    qint64 m_historyForgotten = 0; // the highest sequence number no longer kept
};
