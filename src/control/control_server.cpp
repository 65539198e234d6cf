#include "control/control_server.h"

#include "control/control_member.h"
#include "control/control_request.h"
#include "control/control_state.h"
#include "terminal/terminal.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <chrono>

using control::badArgument;

namespace {

QString isoTimeNow()
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const qint64 micros = duration_cast<microseconds>(now.time_since_epoch()).count();
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(micros / 1000, Qt::UTC);
    return at.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.")) +
           QStringLiteral("%1Z").arg(micros % 1000000, 6, 10, QLatin1Char('0'));
}

} // namespace

Terminal &CommandContext::terminal() const
{
    return member.terminal;
}

ControlServer::ControlServer(Terminal &terminal, QObject *parent)
    : ControlServer(std::vector<Member>{{QString(), &terminal}}, parent)
{
}

ControlServer::ControlServer(const std::vector<Member> &terminals, QObject *parent) : QObject(parent)
{
    for (const Member &member : terminals)
        m_members.push_back(std::make_shared<ControlMember>(*this, *member.terminal, member.name, m_nextMember++));
    addCommands(control::builtInCommands());
    // The terminals there are, also when there is one or none: "state" lists
    // them only beside a terminal's state, and only when there are several.
    addServerCommands({{QStringLiteral("fleet.list"),
                        [](ControlServer &server, const QJsonObject &) { return control::fleetList(server); }}});
    addServerCommands({control::glanceCommand()});
}

ControlServer::~ControlServer()
{
    close();
    for (const auto &member : m_members)
        member->detach();
    m_members.clear();
}

void ControlServer::addCommands(const ControlCommands &commands)
{
    for (const ControlCommand &command : commands)
        m_commands.insert(command.name, command);
}

void ControlServer::addServerCommands(const std::vector<ServerCommand> &commands)
{
    for (const ServerCommand &command : commands)
        m_serverCommands.insert(command.name, command);
}

// ---- Members ----

bool ControlServer::addMember(const Member &member, QString *error)
{
    if (member.name.isEmpty() || !member.terminal) {
        *error = QStringLiteral("a terminal added to the control interface needs a name");
        return false;
    }
    for (const auto &existing : m_members)
        if (existing->name == member.name) {
            *error = QStringLiteral("a terminal is already called \"%1\"").arg(member.name);
            return false;
        }
    m_members.push_back(std::make_shared<ControlMember>(*this, *member.terminal, member.name, m_nextMember++));
    publishFleetChange(QStringLiteral("added"), member.name);
    return true;
}

bool ControlServer::removeMember(const QString &name)
{
    if (m_members.size() < 2 && !m_emptyAllowed)
        return false;
    const auto it = std::find_if(m_members.begin(), m_members.end(),
                                 [&name](const auto &member) { return member->name == name; });
    if (it == m_members.end())
        return false;
    const std::shared_ptr<ControlMember> member = *it;
    m_members.erase(it);
    member->detach();
    publishFleetChange(QStringLiteral("removed"), name);
    return true;
}

void ControlServer::addSession(QIODevice *io, bool tcp, std::function<void()> abort)
{
    auto session = std::make_shared<ControlSession>();
    session->io = io;
    session->tcp = tcp;
    session->authenticated = !tcp;
    session->abort = std::move(abort);
    m_sessions.push_back(session);
    const std::weak_ptr<ControlSession> weak = session;

    if (auto *socket = qobject_cast<QLocalSocket *>(io)) {
        socket->setReadBufferSize(control::kMaxLineBytes);
        connect(socket, &QLocalSocket::disconnected, this, [this, weak] {
            if (SessionPtr s = weak.lock())
                dropSession(s);
        });
    } else if (auto *tcpSocket = qobject_cast<QTcpSocket *>(io)) {
        tcpSocket->setReadBufferSize(control::kMaxLineBytes);
        connect(tcpSocket, &QTcpSocket::disconnected, this, [this, weak] {
            if (SessionPtr s = weak.lock())
                dropSession(s);
        });
    }
    connect(io, &QIODevice::readyRead, this, [this, weak] {
        if (SessionPtr s = weak.lock())
            pump(s);
    });
    if (tcp)
        startAuthDeadline(session);
    write(session, QJsonObject{{QStringLiteral("hello"),
                                QJsonObject{{QStringLiteral("program"), QStringLiteral("ethernet")},
                                            {QStringLiteral("protocol"), 1}}}});
}

void ControlServer::dropSession(const SessionPtr &session)
{
    if (session->closed && !session->io && !session->channel)
        return;
    session->closed = true;
    endWait(*session);
    std::erase(m_sessions, session);
    subscriptionsChanged();
    session->inbox.clear();
    session->merged.clear();
    session->mergedAt.clear();
    session->channel.reset();
    if (session->io) {
        session->io->disconnect(this);
        session->io->deleteLater();
        session->io = nullptr;
    }
}

void ControlServer::hangUp(const SessionPtr &session)
{
    // What was written still goes out; the session ends when the socket closes.
    session->closed = true;
    if (session->channel)
        session->channel->hangUp();
    else if (auto *socket = qobject_cast<QTcpSocket *>(session->io))
        socket->disconnectFromHost();
    else if (auto *local = qobject_cast<QLocalSocket *>(session->io))
        local->disconnectFromServer();
}

void ControlServer::schedulePump(const SessionPtr &session)
{
    const std::weak_ptr<ControlSession> weak = session;
    QMetaObject::invokeMethod(
        this,
        [this, weak] {
            if (SessionPtr s = weak.lock())
                pump(s);
        },
        Qt::QueuedConnection);
}

void ControlServer::pump(const SessionPtr &session)
{
    if (session->channel) {
        while (!session->busy && !session->closed && !session->inbox.empty()) {
            const QByteArray message = std::move(session->inbox.front());
            session->inbox.pop_front();
            session->inboxBytes -= message.size();
            handleLine(session, message);
        }
        return;
    }
    while (!session->busy && !session->closed) {
        const qsizetype newline = session->buffer.indexOf('\n', session->consumed);
        if (newline < 0) {
            session->buffer.remove(0, session->consumed);
            session->consumed = 0;
            if (session->buffer.size() > control::kMaxLineBytes) {
                // The rest of the line is skipped up to its end; one error for the whole of it.
                if (!session->discarding)
                    replyError(session, QJsonValue(), QStringLiteral("bad_request"),
                               QStringLiteral("request line longer than 1 MiB"));
                session->discarding = true;
                session->buffer.clear();
            }
            if (session->closed)
                return;
            const QByteArray more = session->io->read(64 * 1024);
            if (more.isEmpty())
                return;
            session->buffer += more;
            continue;
        }
        const QByteArray line = session->buffer.mid(session->consumed, newline - session->consumed);
        session->consumed = newline + 1;
        if (std::exchange(session->discarding, false))
            continue;
        if (line.trimmed().isEmpty())
            continue;
        handleLine(session, line);
    }
}

void ControlServer::write(const SessionPtr &session, const QJsonObject &object)
{
    if (session->channel) {
        if (session->closed)
            return;
        // Held: sending may end the session (its socket fails and says so at once).
        const std::shared_ptr<MessageChannel> channel = session->channel;
        channel->send(QJsonDocument(object).toJson(QJsonDocument::Compact));
        if (channel->unsentBytes() > kMaxUnreadBytes) {
            channel->abort();
            dropSession(session);
        }
        return;
    }
    if (session->closed || !session->io)
        return;
    session->io->write(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
    // A client that does not read must not make the terminal hold its output without end.
    if (session->io->bytesToWrite() > kMaxUnreadBytes) {
        session->abort();
        dropSession(session);
    }
}

void ControlServer::reply(const SessionPtr &session, const QJsonValue &id, const QJsonObject &ok)
{
    write(session, QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("ok"), ok}, {QStringLiteral("seq"), m_seq}});
}

void ControlServer::replyError(const SessionPtr &session, const QJsonValue &id, const QString &code,
                               const QString &message, const QJsonObject &extra)
{
    QJsonObject error = extra;
    error.insert(QStringLiteral("code"), code);
    error.insert(QStringLiteral("message"), message);
    write(session,
          QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("error"), error}, {QStringLiteral("seq"), m_seq}});
}

// ---- Requests ----

void ControlServer::handleLine(const SessionPtr &session, const QByteArray &line)
{
    auto parsed = control::parseRequest(line);
    if (auto *failure = std::get_if<std::pair<QJsonValue, ControlError>>(&parsed)) {
        replyError(session, failure->first, failure->second.code, failure->second.message);
        if (!session->authenticated)
            hangUp(session);
        return;
    }
    const ControlRequest &request = std::get<ControlRequest>(parsed);

    if (!session->authenticated) {
        const QString offered = request.args.value(QStringLiteral("token")).toString();
        std::optional<ControlSession::Access> access;
        if (request.cmd == QLatin1String("auth"))
            access = session->authenticate ? session->authenticate(offered)
                                           : (tokenMatches(offered) ? std::optional(ControlSession::Access::Operate)
                                                                    : std::nullopt);
        if (!access) {
            replyError(session, request.id, QStringLiteral("unauthorized"),
                       QStringLiteral("the first request must be {\"cmd\":\"auth\",\"token\":...} with the token "
                                      "of the ready line; ethernet-ctl sends it when given --token TOKEN or "
                                      "ETHERNET_TOKEN=TOKEN"));
            hangUp(session);
            return;
        }
        session->authenticated = true;
        session->access = *access;
        // Only a client whose tokens give different rights hears which it has.
        reply(session, request.id,
              session->authenticate
                  ? QJsonObject{{QStringLiteral("access"), *access == ControlSession::Access::View
                                                               ? QStringLiteral("view")
                                                               : QStringLiteral("operate")}}
                  : QJsonObject());
        return;
    }

    session->busy = true;
    session->executing = true;
    try {
        const QJsonObject result = execute(session, request);
        session->executing = false;
        if (session->wait)
            return; // answered when the wait ends
        if (session->operation) {
            // Answered when its steps are over, unless they are over already.
            if (session->operation->outcome)
                finishOperation(session);
            return;
        }
        reply(session, request.id, result);
    } catch (const ControlError &error) {
        session->executing = false;
        session->operation.reset();
        replyError(session, request.id, error.code, error.message);
    }
    requestAnswered(session);
}

void ControlServer::requestAnswered(const SessionPtr &session)
{
    session->busy = false;
    if (!session->closed)
        schedulePump(session);
}

QJsonObject ControlServer::execute(const SessionPtr &session, const ControlRequest &request)
{
    if (request.cmd == QLatin1String("auth"))
        return {};
    if (session->access == ControlSession::Access::View && !viewerMayRun(request.cmd))
        throw ControlError{QStringLiteral("forbidden"),
                           QStringLiteral("\"%1\" acts on the terminals; this client may only look").arg(request.cmd)};
    if (const auto serverWide = m_serverCommands.constFind(request.cmd); serverWide != m_serverCommands.cend())
        return serverWide->run(*this, request.args);
    if (m_members.empty())
        throw ControlError{QStringLiteral("no_terminal"),
                           QStringLiteral("the program runs no terminal now; add one with fleet.add")};
    // The member is held for the whole request: a message box's modal loop may see it removed.
    const std::shared_ptr<ControlMember> member = target(request.args).shared_from_this();
    const auto command = m_commands.constFind(request.cmd);
    if (command == m_commands.cend())
        throw ControlError{QStringLiteral("unknown_command"),
                           QStringLiteral("no command is called \"%1\"").arg(request.cmd)};
    CommandContext context{*this, *session, *member, request.args.contains(QStringLiteral("terminal")), request};
    const ControlCommand::Run run = command->read(context);
    return run(context);
}

ControlMember &ControlServer::target(const QJsonObject &args) const
{
    if (!args.contains(QStringLiteral("terminal")))
        return *m_members.front();
    const QString name = control::stringArg(args, QStringLiteral("terminal"));
    for (const auto &member : m_members)
        if (member->name == name)
            return *member;
    badArgument(QStringLiteral("no terminal is called \"%1\"").arg(name));
}

// ---- Waits ----

ControlServer::SessionPtr ControlServer::sessionFor(const ControlSession &session) const
{
    for (const SessionPtr &candidate : m_sessions)
        if (candidate.get() == &session)
            return candidate;
    return nullptr;
}

void ControlServer::beginWait(CommandContext &context, WaitProgress progress, qint64 timeoutMs,
                              std::function<QJsonObject()> heldReply)
{
    const SessionPtr session = sessionFor(context.session);
    if (!session)
        return;
    const std::weak_ptr<ControlSession> weak = session;
    const TerminalWaits::Id id =
        context.member.waits.add(std::move(progress), timeoutMs, [this, weak](WaitOutcome outcome) {
            if (SessionPtr s = weak.lock())
                finishWait(s, outcome);
        });
    session->wait = ControlSession::PendingWait{context.member.weak_from_this(), id, context.request.id, timeoutMs,
                                                std::move(heldReply)};
}

void ControlServer::endWait(ControlSession &session)
{
    if (!session.wait)
        return;
    const ControlSession::PendingWait wait = *std::exchange(session.wait, std::nullopt);
    if (const std::shared_ptr<ControlMember> member = wait.member.lock())
        member->waits.end(wait.id);
}

void ControlServer::finishWait(const SessionPtr &session, WaitOutcome outcome)
{
    if (!session->wait)
        return;
    const ControlSession::PendingWait wait = *std::exchange(session->wait, std::nullopt);
    const std::shared_ptr<ControlMember> member = wait.member.lock();
    if (outcome == WaitOutcome::Held)
        reply(session, wait.requestId, wait.heldReply ? wait.heldReply() : QJsonObject());
    else if (outcome == WaitOutcome::TimedOut && member)
        replyError(session, wait.requestId, QStringLiteral("timeout"),
                   QStringLiteral("the condition did not hold within %1 ms").arg(wait.timeoutMs),
                   {{QStringLiteral("state"), control::stateObject(*this, *member)}});
    else
        replyError(session, wait.requestId, QStringLiteral("terminal_removed"),
                   QStringLiteral("the terminal \"%1\" was removed while the wait ran")
                       .arg(member ? member->name : QString()));
    requestAnswered(session);
}

OperationStack::Done ControlServer::replyWhenDone(CommandContext &context, std::function<QJsonObject()> reply)
{
    const SessionPtr session = sessionFor(context.session);
    if (!session)
        return {};
    session->operation = ControlSession::PendingOperation{context.request.id, context.member.name, std::move(reply), {}};
    return [server = QPointer<ControlServer>(this), weak = std::weak_ptr<ControlSession>(session)](
               OperationStack::Outcome outcome) {
        const SessionPtr s = weak.lock();
        if (!server || !s || !s->operation || s->operation->outcome)
            return;
        s->operation->outcome = outcome;
        if (!s->executing)
            server->finishOperation(s);
    };
}

std::function<bool()> ControlServer::sessionOpen(const ControlSession &session) const
{
    return [weak = std::weak_ptr<ControlSession>(sessionFor(session))] {
        const SessionPtr s = weak.lock();
        return s && !s->closed;
    };
}

void ControlServer::finishOperation(const SessionPtr &session)
{
    const ControlSession::PendingOperation operation = *std::exchange(session->operation, std::nullopt);
    if (operation.outcome == OperationStack::Outcome::Ended)
        replyError(session, operation.requestId, QStringLiteral("terminal_removed"),
                   QStringLiteral("the terminal \"%1\" was removed while the request ran").arg(operation.terminal));
    else
        reply(session, operation.requestId, operation.reply ? operation.reply() : QJsonObject());
    requestAnswered(session);
}

// ---- Events ----

bool ControlServer::wanted(const QString &name) const
{
    if (m_wantedStale) {
        m_wanted.clear();
        for (const SessionPtr &session : m_sessions)
            m_wanted.unite(session->events);
        m_wantedStale = false;
    }
    return m_wanted.contains(name);
}

void ControlServer::publish(const QString &name, QJsonObject fields, const ControlMember &member)
{
    ++m_seq;
    if (!wanted(name))
        return;
    if (m_members.size() > 1)
        fields.insert(QStringLiteral("terminal"), member.name);
    fields.insert(QStringLiteral("event"), name);
    fields.insert(QStringLiteral("seq"), m_seq);
    fields.insert(QStringLiteral("time"), isoTimeNow());
    for (const SessionPtr &session : std::vector<SessionPtr>(m_sessions))
        if (session->events.contains(name))
            deliverEvent(session, name, member.name, fields);
}

void ControlServer::publishFleetChange(const QString &change, const QString &terminal)
{
    ++m_seq;
    if (!wanted(QStringLiteral("fleet")))
        return;
    const QJsonObject fields{{QStringLiteral("event"), QStringLiteral("fleet")},
                             {QStringLiteral("change"), change},
                             {QStringLiteral("terminal"), terminal},
                             {QStringLiteral("terminals"), qint64(m_members.size())},
                             {QStringLiteral("seq"), m_seq},
                             {QStringLiteral("time"), isoTimeNow()}};
    for (const SessionPtr &session : std::vector<SessionPtr>(m_sessions))
        if (session->events.contains(QStringLiteral("fleet")))
            sendEvent(session, fields);
}

void ControlServer::deliverEvent(const SessionPtr &session, const QString &name, const QString &terminal,
                                 const QJsonObject &fields)
{
    if (session->terminals && !session->terminals->contains(terminal))
        return;
    const bool mergeable = name == QLatin1String("display") || name == QLatin1String("leds") ||
                           name == QLatin1String("connection");
    if (session->mergeMs <= 0 || !mergeable) {
        sendEvent(session, fields);
        return;
    }
    // The latest of each kind per terminal; it keeps the place of the first one it replaced.
    const QString key = name + QLatin1Char('\n') + terminal;
    if (const auto at = session->mergedAt.constFind(key); at != session->mergedAt.cend())
        session->merged[std::size_t(*at)] = fields;
    else {
        session->mergedAt.insert(key, qsizetype(session->merged.size()));
        session->merged.push_back(fields);
    }
    if (session->flushScheduled)
        return;
    session->flushScheduled = true;
    const std::weak_ptr<ControlSession> weak = session;
    QTimer::singleShot(int(session->mergeMs), this, [this, weak] {
        if (SessionPtr s = weak.lock())
            flushMerged(s);
    });
}

void ControlServer::flushMerged(const SessionPtr &session)
{
    session->flushScheduled = false;
    std::vector<QJsonObject> pending = std::exchange(session->merged, {});
    session->mergedAt.clear();
    for (const QJsonObject &fields : pending)
        sendEvent(session, fields);
}

void ControlServer::sendEvent(const SessionPtr &session, const QJsonObject &fields)
{
    if (session->closed)
        return;
    // A line client is cut off when it stops reading (write()); a message
    // client misses events instead, and hears how many once it has caught up.
    if (session->channel && session->channel->unsentBytes() > kMaxUnsentEventBytes) {
        ++session->dropped;
        scheduleDrainCheck(session);
        return;
    }
    if (session->dropped > 0 && session->channel)
        writeDropped(session);
    write(session, fields);
}

void ControlServer::writeDropped(const SessionPtr &session)
{
    write(session, QJsonObject{{QStringLiteral("event"), QStringLiteral("dropped")},
                               {QStringLiteral("count"), std::exchange(session->dropped, 0)},
                               {QStringLiteral("seq"), m_seq}});
}

void ControlServer::scheduleDrainCheck(const SessionPtr &session)
{
    if (session->drainScheduled)
        return;
    session->drainScheduled = true;
    const std::weak_ptr<ControlSession> weak = session;
    QTimer::singleShot(200, this, [this, weak] {
        const SessionPtr s = weak.lock();
        if (!s || s->closed || !s->channel)
            return;
        s->drainScheduled = false;
        if (s->dropped == 0)
            return;
        if (s->channel->unsentBytes() > kMaxUnsentEventBytes) {
            scheduleDrainCheck(s);
            return;
        }
        writeDropped(s);
    });
}

// ---- Message clients ----

bool ControlServer::viewerMayRun(const QString &cmd)
{
    static const QSet<QString> kLooking = {QStringLiteral("auth"),       QStringLiteral("state"),
                                           QStringLiteral("log"),        QStringLiteral("subscribe"),
                                           QStringLiteral("unsubscribe"), QStringLiteral("wait"),
                                           QStringLiteral("glance"),     QStringLiteral("fault.list")};
    return kLooking.contains(cmd);
}

ControlServer::SessionHandle ControlServer::openMessageSession(
    std::shared_ptr<MessageChannel> channel,
    std::function<std::optional<ControlSession::Access>(const QString &)> authenticate)
{
    if (const QString refusal = admissionRefusal(true); !refusal.isEmpty()) {
        reportRefusal(refusal);
        QByteArray line = refusalLine(refusal);
        line.chop(1);
        channel->send(line);
        channel->hangUp();
        return {};
    }
    auto session = std::make_shared<ControlSession>();
    session->channel = std::move(channel);
    session->tcp = true;
    session->authenticate = std::move(authenticate);
    session->abort = [] {};
    m_sessions.push_back(session);
    startAuthDeadline(session);
    write(session, QJsonObject{{QStringLiteral("hello"),
                                QJsonObject{{QStringLiteral("program"), QStringLiteral("ethernet")},
                                            {QStringLiteral("protocol"), 1}}}});
    return session;
}

void ControlServer::deliverMessage(const SessionHandle &handle, const QByteArray &message)
{
    const SessionPtr session = handle.lock();
    if (!session || session->closed)
        return;
    if (qsizetype(session->inbox.size()) >= kMaxInbox || session->inboxBytes + message.size() > kMaxInboxBytes) {
        replyError(session, QJsonValue(), QStringLiteral("overloaded"),
                   QStringLiteral("%1 requests are waiting for the one that runs; this one is not taken")
                       .arg(session->inbox.size()));
        return;
    }
    session->inboxBytes += message.size();
    session->inbox.push_back(message);
    pump(session);
}

void ControlServer::closeMessageSession(const SessionHandle &handle)
{
    if (const SessionPtr session = handle.lock())
        dropSession(session);
}
