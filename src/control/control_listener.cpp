#include "control/control_server.h"

#include "control/control_request.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>
#include <sys/stat.h>

// Where clients come in: the listening sockets, and who is let in. A TCP
// client must authenticate within kAuthDeadlineMs; the connections waiting to
// and the connections in all are capped, so idle connections cannot take every
// file descriptor of the program. A connection refused is told why in one line.

bool ControlServer::listen(const QString &spec, QString *error)
{
    close();
    if (spec.startsWith(QLatin1String("unix:"))) {
        const QString path = QFileInfo(spec.mid(5)).absoluteFilePath();
        if (spec.size() <= 5) {
            *error = QStringLiteral("the control socket needs a path: unix:PATH");
            return false;
        }
        struct stat existing = {};
        if (::lstat(QFile::encodeName(path).constData(), &existing) == 0) {
            // A socket left by a run that died is taken over; anything else is not ours to remove.
            QLocalSocket probe;
            probe.connectToServer(path);
            const bool live = probe.waitForConnected(200);
            probe.abort();
            const bool socketFile = S_ISSOCK(existing.st_mode);
            if (live) {
                *error = QStringLiteral("%1 is in use by another running program").arg(path);
                return false;
            }
            if (!socketFile) {
                *error = QStringLiteral("%1 exists and is not a socket; choose another path").arg(path);
                return false;
            }
            QFile::remove(path);
        }
        m_local = new QLocalServer(this);
        m_local->setSocketOptions(QLocalServer::UserAccessOption);
        if (!m_local->listen(path)) {
            const QString folder = QFileInfo(path).absolutePath();
            *error = QStringLiteral("cannot listen on %1: %2")
                         .arg(path, QFileInfo::exists(folder)
                                        ? m_local->errorString()
                                        : QStringLiteral("the folder %1 does not exist").arg(folder));
            delete m_local;
            m_local = nullptr;
            return false;
        }
        connect(m_local, &QLocalServer::newConnection, this, [this] {
            while (QLocalSocket *socket = m_local->nextPendingConnection())
                admit(socket, false, [socket] { socket->abort(); });
        });
        return true;
    }
    if (spec.startsWith(QLatin1String("tcp:"))) {
        bool ok = false;
        const uint port = spec.mid(4).toUInt(&ok);
        if (!ok || port > 65535) {
            *error = QStringLiteral("the control port must be a number from 0 to 65535: tcp:PORT");
            return false;
        }
        m_tcp = new QTcpServer(this);
        if (!m_tcp->listen(QHostAddress::LocalHost, static_cast<quint16>(port))) {
            *error = QStringLiteral("cannot listen on 127.0.0.1 port %1: %2").arg(port).arg(m_tcp->errorString());
            delete m_tcp;
            m_tcp = nullptr;
            return false;
        }
        const quint64 a = QRandomGenerator::system()->generate64();
        const quint64 b = QRandomGenerator::system()->generate64();
        m_token = QStringLiteral("%1%2").arg(a, 16, 16, QLatin1Char('0')).arg(b, 16, 16, QLatin1Char('0'));
        connect(m_tcp, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_tcp->nextPendingConnection())
                admit(socket, true, [socket] { socket->abort(); });
        });
        // Out of descriptors, the server stops accepting; it tries again shortly rather than never.
        connect(m_tcp, &QTcpServer::acceptError, this, [this] {
            QTimer::singleShot(kAcceptRetryMs, m_tcp, [server = m_tcp] { server->resumeAccepting(); });
        });
        return true;
    }
    *error = QStringLiteral("the control interface is unix:PATH or tcp:PORT, not \"%1\"").arg(spec);
    return false;
}

void ControlServer::close()
{
    for (const SessionPtr &session : std::vector<SessionPtr>(m_sessions)) {
        if (session->channel)
            session->channel->abort();
        if (session->io)
            session->io->disconnect(this);
        session->abort();
        dropSession(session);
    }
    if (m_local) {
        // Closing removes the socket file.
        m_local->close();
        delete m_local;
        m_local = nullptr;
    }
    if (m_tcp) {
        m_tcp->close();
        delete m_tcp;
        m_tcp = nullptr;
    }
    m_token.clear();
}

QString ControlServer::address() const
{
    if (m_local)
        return QStringLiteral("unix:") + m_local->fullServerName();
    if (m_tcp)
        return QStringLiteral("tcp:127.0.0.1:%1").arg(m_tcp->serverPort());
    return QString();
}

QByteArray ControlServer::readyLine(const QJsonObject &extra) const
{
    QJsonObject ready = extra;
    ready.insert(QStringLiteral("pid"), QCoreApplication::applicationPid());
    // Without --control the line still says where the browser's links and the figures are.
    if (const QString control = address(); !control.isEmpty())
        ready.insert(QStringLiteral("control"), control);
    if (!m_token.isEmpty())
        ready.insert(QStringLiteral("token"), m_token);
    for (auto it = m_readyExtra.begin(); it != m_readyExtra.end(); ++it)
        ready.insert(it.key(), it.value());
    return QJsonDocument(QJsonObject{{QStringLiteral("ready"), ready}}).toJson(QJsonDocument::Compact);
}


// ---- Who is let in ----

QString ControlServer::admissionRefusal(bool needsAuth) const
{
    const auto waiting = std::count_if(m_sessions.begin(), m_sessions.end(),
                                       [](const SessionPtr &session) { return !session->authenticated; });
    // A fleet is often driven by a client per terminal (a load tool's users): one more allowed for each.
    const qsizetype maxSessions = kMaxSessions + qsizetype(m_members.size());
    if (qsizetype(m_sessions.size()) >= maxSessions)
        return QStringLiteral("%1 control connections are open, the most there may be; try again later")
            .arg(maxSessions);
    if (needsAuth && waiting >= kMaxWaitingForAuth)
        return QStringLiteral("%1 control connections are waiting to authenticate, the most there may be; try "
                              "again later")
            .arg(kMaxWaitingForAuth);
    return QString();
}

void ControlServer::reportRefusal(const QString &refusal)
{
    if (m_refusalReported)
        return;
    m_refusalReported = true;
    const QByteArray line =
        QStringLiteral("ethernet: the control interface refuses connections: %1 (said once)\n").arg(refusal).toLocal8Bit();
    std::fwrite(line.constData(), 1, std::size_t(line.size()), stderr);
    std::fflush(stderr);
}

QByteArray ControlServer::refusalLine(const QString &refusal) const
{
    const QJsonObject error{{QStringLiteral("code"), QStringLiteral("too_many_connections")},
                            {QStringLiteral("message"), refusal}};
    return QJsonDocument(QJsonObject{{QStringLiteral("id"), QJsonValue()},
                                     {QStringLiteral("error"), error},
                                     {QStringLiteral("seq"), m_seq}})
               .toJson(QJsonDocument::Compact) +
           '\n';
}

void ControlServer::admit(QIODevice *io, bool tcp, std::function<void()> abort)
{
    const QString refusal = admissionRefusal(tcp);
    if (refusal.isEmpty()) {
        addSession(io, tcp, std::move(abort));
        return;
    }
    reportRefusal(refusal);
    io->write(refusalLine(refusal));
    // The line is small enough for the socket's buffer; the descriptor goes at once.
    if (auto *socket = qobject_cast<QAbstractSocket *>(io))
        socket->flush();
    else if (auto *local = qobject_cast<QLocalSocket *>(io))
        local->flush();
    abort();
    io->deleteLater();
}

void ControlServer::startAuthDeadline(const SessionPtr &session)
{
    const std::weak_ptr<ControlSession> weak = session;
    QTimer::singleShot(kAuthDeadlineMs, this, [this, weak] {
        const SessionPtr s = weak.lock();
        if (!s || s->authenticated || s->closed)
            return;
        replyError(s, QJsonValue(), QStringLiteral("auth_timeout"),
                   QStringLiteral("no auth request came within %1 ms of connecting").arg(kAuthDeadlineMs));
        hangUp(s);
    });
}

bool ControlServer::tokenMatches(const QString &offered) const
{
    // Every byte is compared whatever the first difference, so the time taken tells nothing of the token.
    const QByteArray expected = m_token.toLatin1();
    const QByteArray given = offered.toUtf8();
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (qsizetype i = 0; i < expected.size(); ++i)
        difference |= static_cast<unsigned char>(expected[i] ^ (i < given.size() ? given[i] : 0));
    return difference == 0 && !expected.isEmpty();
}
