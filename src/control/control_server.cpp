#include "control/control_server.h"

#include "control/control_request.h"
#include "control/fault_spec_json.h"
#include "control/control_trace.h"
#include "engine/cp1252.h"
#include "terminal/terminal.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <chrono>
#include <sys/stat.h>
#include <optional>

using control::badArgument;

namespace {

const QStringList kEventNames = {QStringLiteral("display"), QStringLiteral("leds"),     QStringLiteral("printer"),
                                 QStringLiteral("serial"),  QStringLiteral("sent"),     QStringLiteral("received"),
                                 QStringLiteral("connection"), QStringLiteral("message"), QStringLiteral("fault"),
                                 QStringLiteral("trace")};

// The largest bytes pattern a sent/received wait may look for.
constexpr qsizetype kMaxPatternBytes = 64 * 1024;

QString isoTimeNow()
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const qint64 micros = duration_cast<microseconds>(now.time_since_epoch()).count();
    const QDateTime at = QDateTime::fromMSecsSinceEpoch(micros / 1000, Qt::UTC);
    return at.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.")) +
           QStringLiteral("%1Z").arg(micros % 1000000, 6, 10, QLatin1Char('0'));
}

QString colourText(quint32 rgb)
{
    return QStringLiteral("#%1").arg(rgb & 0xFFFFFF, 6, 16, QLatin1Char('0'));
}

std::optional<Keyboard::Key> keyForName(const QString &name)
{
    using Key = Keyboard::Key;
    if (name.size() == 1) {
        const QChar c = name.at(0);
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            return static_cast<Key>(static_cast<int>(Key::K0) + (c.unicode() - '0'));
        const QChar upper = c.toUpper();
        if (upper >= QLatin1Char('A') && upper <= QLatin1Char('Z'))
            return static_cast<Key>(static_cast<int>(Key::A) + (upper.unicode() - 'A'));
        if (c == QLatin1Char(','))
            return Key::Virgula;
        if (c == QLatin1Char('.'))
            return Key::Ponto;
        return std::nullopt;
    }
    if (name == QLatin1String("Space"))
        return Key::Space;
    if (name == QLatin1String("Del"))
        return Key::Del;
    if (name == QLatin1String("Enter"))
        return Key::Enter;
    if (name == QLatin1String("Back"))
        return Key::Back;
    return std::nullopt;
}

// The key that types a character: letters of either case, digits, space,
// comma, period, and CR or LF for Enter, BS for Back, DEL for Del.
std::optional<Keyboard::Key> keyForCharacter(QChar c)
{
    switch (c.unicode()) {
    case ' ': return Keyboard::Key::Space;
    case '\r':
    case '\n': return Keyboard::Key::Enter;
    case '\b': return Keyboard::Key::Back;
    case 0x7F: return Keyboard::Key::Del;
    default: return keyForName(QString(c));
    }
}

QRegularExpression patternArg(const QJsonValue &value, const QString &what)
{
    if (!value.isString())
        badArgument(QStringLiteral("\"%1\" must be a regular expression string").arg(what));
    QRegularExpression pattern(value.toString());
    if (!pattern.isValid())
        badArgument(QStringLiteral("\"%1\" is not a valid regular expression: %2").arg(what, pattern.errorString()));
    pattern.optimize();
    return pattern;
}

QJsonArray linesFrom(const std::deque<QByteArray> &log, qsizetype start)
{
    QJsonArray out;
    for (auto it = log.begin() + start; it != log.end(); ++it)
        out.append(fromCp1252(*it));
    return out;
}

// Finds a byte pattern in a stream handed over in pieces, keeping only the
// tail that a match could still begin in.
struct StreamMatch {
    QByteArray pattern;
    QByteArray tail;
    bool found = false;

    void feed(const QByteArray &bytes)
    {
        if (found || pattern.isEmpty()) {
            found = true;
            return;
        }
        QByteArray window = tail + bytes;
        if (window.contains(pattern)) {
            found = true;
            tail.clear();
            return;
        }
        tail = window.right(pattern.size() - 1);
    }
};

} // namespace

struct ControlServer::Wait {
    QJsonValue id;
    Watch *watch = nullptr;
    std::optional<QRegularExpression> display;
    std::optional<QRegularExpression> printer;
    bool printerFound = false;
    std::optional<bool> connected;
    std::optional<StreamMatch> sent;
    std::optional<StreamMatch> received;
    qint64 timeoutMs = 0;
    QTimer *timer = nullptr;
};

struct ControlServer::Session {
    QIODevice *io = nullptr;
    std::function<void()> abort;
    bool tcp = false;
    bool authenticated = false;
    // A request is running (perhaps inside a nested event loop) or waiting;
    // the client's further lines stay unread until it is answered.
    bool busy = false;
    bool discarding = false;
    bool closed = false;
    QByteArray buffer;
    qsizetype consumed = 0;
    QSet<QString> events;
    std::unique_ptr<Wait> wait;
};

// One terminal as the server watches it: its observer hands every event on
// with the terminal it came from, and it remembers how far the terminal's logs
// were published.
struct ControlServer::Watch : TerminalObserver {
    Watch(ControlServer &server, Terminal &terminal, QString name)
        : server(server), terminal(terminal), name(std::move(name)),
          printerSeen(terminal.outputs().parallelLinesAdded()), serialSeen(terminal.outputs().serialLinesAdded())
    {
        terminal.addObserver(this);
        trace = std::make_unique<ControlTrace>(
            terminal, [&server] { return server.wanted(QStringLiteral("trace")); },
            [this](QJsonObject fields) { this->server.publish(QStringLiteral("trace"), std::move(fields), *this); });
    }
    ~Watch() override
    {
        trace.reset();
        terminal.removeObserver(this);
    }

    void hostDataReceived(const QByteArray &bytes) override { server.hostDataReceived(*this, bytes); }
    void hostDataSent(const QByteArray &bytes) override { server.hostDataSent(*this, bytes); }
    void linkChanged(LinkEvent event, const QString &peer, const QString &detail) override
    {
        server.linkChanged(*this, event, peer, detail);
    }
    void displayChanged() override { server.displayChanged(*this); }
    void ledsChanged() override { server.ledsChanged(*this); }
    void printerChanged() override { server.publishNewLines(*this, true); }
    void serialChanged() override { server.publishNewLines(*this, false); }
    void messageShown(const QString &caption, const QString &text) override
    {
        server.messageShown(*this, caption, text);
    }
    void faultFired(int id, const QString &kind, const QString &what) override
    {
        server.faultFired(*this, id, kind, what);
    }

    ControlServer &server;
    Terminal &terminal;
    QString name;
    bool displayPending = false;
    quint64 printerSeen = 0;
    quint64 serialSeen = 0;
    std::unique_ptr<ControlTrace> trace; // trace.start, trace.stop, trace.warnings
};

ControlServer::ControlServer(Terminal &terminal, QObject *parent)
    : ControlServer(std::vector<Member>{{QString(), &terminal}}, parent)
{
}

ControlServer::ControlServer(const std::vector<Member> &terminals, QObject *parent) : QObject(parent)
{
    for (const Member &member : terminals)
        m_watches.push_back(std::make_unique<Watch>(*this, *member.terminal, member.name));
}

ControlServer::~ControlServer()
{
    m_watches.clear();
    close();
}

// ---- Transport ----

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
                addSession(socket, false, [socket] { socket->abort(); });
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
                addSession(socket, true, [socket] { socket->abort(); });
        });
        return true;
    }
    *error = QStringLiteral("the control interface is unix:PATH or tcp:PORT, not \"%1\"").arg(spec);
    return false;
}

void ControlServer::close()
{
    for (const SessionPtr &session : std::vector<SessionPtr>(m_sessions)) {
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

QByteArray ControlServer::readyLine() const
{
    QJsonObject ready{{QStringLiteral("control"), address()},
                      {QStringLiteral("pid"), QCoreApplication::applicationPid()}};
    if (!m_token.isEmpty())
        ready.insert(QStringLiteral("token"), m_token);
    return QJsonDocument(QJsonObject{{QStringLiteral("ready"), ready}}).toJson(QJsonDocument::Compact);
}

void ControlServer::addSession(QIODevice *io, bool tcp, std::function<void()> abort)
{
    auto session = std::make_shared<Session>();
    session->io = io;
    session->tcp = tcp;
    session->authenticated = !tcp;
    session->abort = std::move(abort);
    m_sessions.push_back(session);
    const std::weak_ptr<Session> weak = session;

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
    write(session, QJsonObject{{QStringLiteral("hello"),
                                QJsonObject{{QStringLiteral("program"), QStringLiteral("ethernet")},
                                            {QStringLiteral("protocol"), 1}}}});
}

void ControlServer::dropSession(const SessionPtr &session)
{
    if (session->closed && !session->io)
        return;
    session->closed = true;
    if (session->wait) {
        if (session->wait->timer)
            session->wait->timer->deleteLater();
        session->wait.reset();
    }
    std::erase(m_sessions, session);
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
    if (auto *socket = qobject_cast<QTcpSocket *>(session->io))
        socket->disconnectFromHost();
    else if (auto *local = qobject_cast<QLocalSocket *>(session->io))
        local->disconnectFromServer();
}

void ControlServer::schedulePump(const SessionPtr &session)
{
    const std::weak_ptr<Session> weak = session;
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
        const bool accepted = request.cmd == QLatin1String("auth") &&
                              request.args.value(QStringLiteral("token")).toString() == m_token;
        if (!accepted) {
            replyError(session, request.id, QStringLiteral("unauthorized"),
                       QStringLiteral("the first request must be {\"cmd\":\"auth\",\"token\":...} with the token "
                                      "of the ready line"));
            hangUp(session);
            return;
        }
        session->authenticated = true;
        reply(session, request.id, {});
        return;
    }

    session->busy = true;
    try {
        const QJsonObject result = execute(session, request);
        if (session->wait)
            return; // answered when the wait ends
        reply(session, request.id, result);
    } catch (const ControlError &error) {
        replyError(session, request.id, error.code, error.message);
    }
    session->busy = false;
    if (!session->closed)
        schedulePump(session);
}

QJsonObject ControlServer::execute(const SessionPtr &session, const ControlRequest &request)
{
    const QString &cmd = request.cmd;
    const QJsonObject &args = request.args;
    Watch &watch = target(args);
    OperatorActions &actions = watch.terminal.actions();

    if (cmd == QLatin1String("auth"))
        return {};
    if (m_extension) {
        const bool named = args.contains(QStringLiteral("terminal"));
        if (std::optional<QJsonObject> result = m_extension->run(cmd, args, named ? &watch.terminal : nullptr))
            return *result;
    }
    if (cmd == QLatin1String("state")) {
        QJsonObject state = stateObject(watch);
        if (m_watches.size() > 1 && !args.contains(QStringLiteral("terminal")))
            state.insert(QStringLiteral("fleet"), fleetList().value(QStringLiteral("fleet")));
        return state;
    }
    if (cmd == QLatin1String("key")) {
        const QString name = control::stringArg(args, QStringLiteral("key"));
        const std::optional<Keyboard::Key> key = keyForName(name);
        if (!key)
            badArgument(QStringLiteral("no key is called \"%1\"; the keys are \"0\"..\"9\", \"A\"..\"Z\", \"Space\", "
                                       "\",\", \".\", \"Del\", \"Enter\" and \"Back\"")
                            .arg(name));
        actions.pressKey(*key);
        return {};
    }
    if (cmd == QLatin1String("type")) {
        const QString text = control::stringArg(args, QStringLiteral("text"));
        QList<Keyboard::Key> keys;
        for (qsizetype i = 0; i < text.size(); ++i) {
            const std::optional<Keyboard::Key> key = keyForCharacter(text.at(i));
            if (!key)
                badArgument(QStringLiteral("the terminal has no key for character %1 (\"%2\")").arg(i).arg(text.at(i)));
            keys.append(*key);
        }
        for (const Keyboard::Key key : keys) {
            if (session->closed)
                break;
            actions.pressKey(key);
        }
        return {{QStringLiteral("keys"), int(keys.size())}};
    }
    if (cmd == QLatin1String("input")) {
        const int n = int(control::intArg(args, QStringLiteral("n"), 0, 3));
        actions.setInput(n, control::boolArg(args, QStringLiteral("on")));
        return {};
    }
    if (cmd == QLatin1String("busy")) {
        actions.setBusy(control::boolArg(args, QStringLiteral("on")));
        return {};
    }
    if (cmd == QLatin1String("cts")) {
        actions.setCts(control::boolArg(args, QStringLiteral("on")));
        return {};
    }
    if (cmd == QLatin1String("barcode")) {
        if (args.contains(QStringLiteral("code")))
            actions.sendBarcode(toCp1252(control::stringArg(args, QStringLiteral("code"))));
        else
            actions.pressBarcodeButton();
        return {};
    }
    if (cmd == QLatin1String("scale")) {
        const bool hasReadings = args.contains(QStringLiteral("readings"));
        const bool hasOn = args.contains(QStringLiteral("on"));
        const bool hasNext = args.contains(QStringLiteral("next"));
        if (!hasReadings && !hasOn && !hasNext)
            badArgument(QStringLiteral("scale takes \"on\", \"readings\" or \"next\""));
        QList<QByteArray> readings;
        if (hasReadings) {
            const QJsonValue list = args.value(QStringLiteral("readings"));
            if (!list.isArray())
                badArgument(QStringLiteral("\"readings\" must be a list of strings"));
            for (const QJsonValue item : list.toArray()) {
                if (!item.isString())
                    badArgument(QStringLiteral("\"readings\" must be a list of strings"));
                readings.append(toCp1252(item.toString()));
            }
        }
        const bool on = hasOn && control::boolArg(args, QStringLiteral("on"));
        const int next = hasNext ? int(control::intArg(args, QStringLiteral("next"), 0, 255)) : 0;
        if (hasReadings)
            actions.replaceScaleReadings(readings);
        if (hasOn)
            actions.setScaleOn(on);
        if (hasNext)
            actions.chooseScaleReading(next);
        return stateObject(watch).value(QStringLiteral("scale")).toObject();
    }
    if (cmd == QLatin1String("reset")) {
        actions.resetTerminal();
        return {};
    }
    if (cmd == QLatin1String("playback")) {
        actions.setPlayback(control::boolArg(args, QStringLiteral("on")));
        return stateObject(watch).value(QStringLiteral("playback")).toObject();
    }
    if (cmd == QLatin1String("log"))
        return logObject(watch, args);
    if (cmd == QLatin1String("wait"))
        return startWait(session, request, watch);
    if (cmd == QLatin1String("subscribe")) {
        const QJsonValue list = args.value(QStringLiteral("events"));
        if (!list.isArray())
            badArgument(QStringLiteral("\"events\" must be a list of event names"));
        QSet<QString> names;
        for (const QJsonValue item : list.toArray()) {
            if (!item.isString() || !kEventNames.contains(item.toString()))
                badArgument(QStringLiteral("events are %1").arg(kEventNames.join(QStringLiteral(", "))));
            names.insert(item.toString());
        }
        session->events.unite(names);
        QStringList all(session->events.begin(), session->events.end());
        all.sort();
        return {{QStringLiteral("events"), QJsonArray::fromStringList(all)}};
    }
    if (cmd == QLatin1String("fault.add")) {
        const int id = watch.terminal.faults().add(control::faultSpecFromJson(args));
        if (id < 0)
            badArgument(QStringLiteral("at most %1 faults at a time").arg(FaultInjector::kMaxFaults));
        return {{QStringLiteral("id"), id}};
    }
    if (cmd == QLatin1String("fault.list")) {
        QJsonArray faults;
        for (const FaultInjector::Status &status : watch.terminal.faults().list())
            faults.append(control::faultStatusToJson(status));
        return {{QStringLiteral("faults"), faults}};
    }
    if (cmd == QLatin1String("fault.clear")) {
        // A request's "id" is its own, echoed in the reply; the fault's number travels as "fault".
        if (!args.contains(QStringLiteral("fault"))) {
            watch.terminal.faults().clearAll();
            return {};
        }
        const int fault = int(control::intArg(args, QStringLiteral("fault"), 1, std::numeric_limits<int>::max()));
        if (!watch.terminal.faults().clear(fault))
            badArgument(QStringLiteral("no fault %1 is in force").arg(fault));
        return {};
    }
    if (cmd == QLatin1String("unsubscribe")) {
        const QJsonValue list = args.value(QStringLiteral("events"));
        if (list.isUndefined())
            session->events.clear();
        else if (!list.isArray())
            badArgument(QStringLiteral("\"events\" must be a list of event names"));
        for (const QJsonValue item : list.toArray())
            session->events.remove(item.toString());
        return {};
    }
    if (cmd.startsWith(QLatin1String("trace.")))
        return watch.trace->execute(cmd, args);
    throw ControlError{QStringLiteral("unknown_command"), QStringLiteral("no command is called \"%1\"").arg(cmd)};
}

ControlServer::Watch &ControlServer::target(const QJsonObject &args) const
{
    if (!args.contains(QStringLiteral("terminal")))
        return *m_watches.front();
    const QString name = control::stringArg(args, QStringLiteral("terminal"));
    for (const auto &watch : m_watches)
        if (watch->name == name)
            return *watch;
    badArgument(QStringLiteral("no terminal is called \"%1\"").arg(name));
}

QJsonObject ControlServer::fleetList() const
{
    QJsonArray list;
    for (const auto &watch : m_watches) {
        Terminal &t = watch->terminal;
        QJsonObject entry{{QStringLiteral("name"), watch->name},
                          {QStringLiteral("connected"), t.connections().isHostConnected()}};
        if (t.state().comutadoraMode) {
            const frames::BusAddress address = t.state().comutadoraAddress;
            entry.insert(QStringLiteral("address"), QString(QLatin1Char(address[0])) + QLatin1Char(address[1]));
            entry.insert(QStringLiteral("answering"), t.connections().isAnswering());
        }
        if (t.connections().isServerActive())
            entry.insert(QStringLiteral("port"), int(t.connections().serverListeningPort()));
        list.append(entry);
    }
    return {{QStringLiteral("fleet"), list}};
}

QJsonObject ControlServer::stateObject(const Watch &watch) const
{
    Terminal &t = watch.terminal;
    const DisplayModel &display = t.display();
    const Outputs &outputs = t.outputs();
    const TerminalState &state = t.state();

    QJsonArray leds;
    for (int i = 0; i < 4; ++i)
        leds.append(colourText(outputs.ledColor(i)));
    QJsonArray inputs;
    for (int i = 0; i < DigitalInputs::kInputCount; ++i)
        inputs.append(t.inputs().isInputOn(i));

    QJsonValue role;
    if (state.connectionRole == TerminalState::kServer)
        role = QStringLiteral("server");
    else if (state.connectionRole == TerminalState::kClient)
        role = QStringLiteral("client");
    QJsonValue protocol;
    if (state.protocolKind == TerminalState::kVt100)
        protocol = QStringLiteral("vt100");
    else if (state.protocolKind == TerminalState::kZorvane)
        protocol = QStringLiteral("zorvane");
    else if (state.protocolKind == TerminalState::kTelnet)
        protocol = QStringLiteral("telnet");

    QJsonArray readings;
    for (const QByteArray &item : t.scale().items())
        readings.append(fromCp1252(item));
    const char *playback = "idle";
    if (t.playback().mode() == Playback::Mode::Playing)
        playback = "playing";
    else if (t.playback().mode() == Playback::Mode::Halted)
        playback = "halted";

    QJsonObject result{
        {QStringLiteral("display"),
         QJsonObject{{QStringLiteral("lines"),
                      QJsonArray{fromCp1252(display.DisplayLine1()), fromCp1252(display.DisplayLine2())}},
                     {QStringLiteral("shown"), QJsonArray{fromCp1252(display.view1()), fromCp1252(display.view2())}},
                     {QStringLiteral("cursor"), QJsonArray{display.CursorRow(), display.CursorCol()}}}},
        {QStringLiteral("leds"), leds},
        {QStringLiteral("inputs"), inputs},
        {QStringLiteral("busy"), state.busy},
        {QStringLiteral("cts"), state.cts},
        {QStringLiteral("function_key_mode"), state.functionKeyMode},
        {QStringLiteral("connection"),
         QJsonObject{{QStringLiteral("role"), role},
                     {QStringLiteral("protocol"), protocol},
                     {QStringLiteral("comutadora"), state.comutadoraMode},
                     {QStringLiteral("connected"), t.connections().isHostConnected()}}},
        {QStringLiteral("printer"),
         QJsonObject{{QStringLiteral("last"), fromCp1252(outputs.lastParallel())},
                     {QStringLiteral("lines"), qint64(outputs.parallelLinesAdded())}}},
        {QStringLiteral("serial"),
         QJsonObject{{QStringLiteral("last"), fromCp1252(outputs.lastSerial())},
                     {QStringLiteral("lines"), qint64(outputs.serialLinesAdded())}}},
        {QStringLiteral("scale"),
         QJsonObject{{QStringLiteral("on"), t.scale().isOn()},
                     {QStringLiteral("readings"), readings},
                     {QStringLiteral("next"), int(t.scale().ScaleIndex())}}},
        {QStringLiteral("playback"), QJsonObject{{QStringLiteral("mode"), QString::fromLatin1(playback)}}},
        {QStringLiteral("seq"), m_seq},
    };
    if (m_watches.size() > 1)
        result.insert(QStringLiteral("terminal"), watch.name);
    return result;
}

QJsonObject ControlServer::logObject(const Watch &watch, const QJsonObject &args) const
{
    const QString which = control::stringArg(args, QStringLiteral("which"));
    const Outputs &outputs = watch.terminal.outputs();
    const bool printer = which == QLatin1String("printer");
    if (!printer && which != QLatin1String("serial"))
        badArgument(QStringLiteral("\"which\" is \"printer\" or \"serial\""));
    const std::deque<QByteArray> &log = printer ? outputs.parallelLog() : outputs.serialLog();
    const qint64 next = qint64(printer ? outputs.parallelLinesAdded() : outputs.serialLinesAdded());
    const qint64 first = next - qint64(log.size());
    const qint64 since =
        control::intArg(args, QStringLiteral("since"), 0, std::numeric_limits<qint64>::max() / 2, first);
    const qint64 start = std::clamp(since, first, next);
    return {{QStringLiteral("lines"), linesFrom(log, qsizetype(start - first))},
            {QStringLiteral("first"), start},
            {QStringLiteral("next"), next}};
}

// ---- Waits ----

QJsonObject ControlServer::startWait(const SessionPtr &session, const ControlRequest &request, Watch &watch)
{
    const QJsonValue until = request.args.value(QStringLiteral("until"));
    if (!until.isObject() || until.toObject().isEmpty())
        badArgument(QStringLiteral("\"until\" must be an object with at least one condition"));
    auto wait = std::make_unique<Wait>();
    wait->id = request.id;
    wait->watch = &watch;
    wait->timeoutMs = control::intArg(request.args, QStringLiteral("timeout_ms"), 0, kMaxWaitMs, kDefaultWaitMs);
    const bool lookBack = request.args.contains(QStringLiteral("after_seq"));
    const qint64 afterSeq = control::intArg(request.args, QStringLiteral("after_seq"), 0,
                                            std::numeric_limits<qint64>::max() / 2, m_seq);
    if (lookBack && afterSeq < m_historyForgotten)
        badArgument(QStringLiteral("after_seq %1 is older than the sends and reads kept (from %2 on)")
                        .arg(afterSeq)
                        .arg(m_historyForgotten));

    const QJsonObject conditions = until.toObject();
    for (auto it = conditions.begin(); it != conditions.end(); ++it) {
        const QString &name = it.key();
        if (name == QLatin1String("display")) {
            wait->display = patternArg(it.value(), name);
        } else if (name == QLatin1String("printer")) {
            wait->printer = patternArg(it.value(), name);
        } else if (name == QLatin1String("connected")) {
            if (!it.value().isBool())
                badArgument(QStringLiteral("\"connected\" must be true or false"));
            wait->connected = it.value().toBool();
        } else if (name == QLatin1String("sent") || name == QLatin1String("received")) {
            if (!it.value().isString())
                badArgument(QStringLiteral("\"%1\" must be a hex string").arg(name));
            StreamMatch match;
            match.pattern = control::fromHex(it.value().toString(), name);
            if (match.pattern.size() > kMaxPatternBytes)
                badArgument(QStringLiteral("\"%1\" may be at most %2 bytes").arg(name).arg(kMaxPatternBytes));
            (name == QLatin1String("sent") ? wait->sent : wait->received) = match;
        } else {
            badArgument(QStringLiteral("unknown wait condition \"%1\"; conditions are display, printer, connected, "
                                       "sent and received")
                            .arg(name));
        }
    }

    // Printer lines already in the log count, as do the sends and reads after the given point.
    if (wait->printer) {
        for (const QByteArray &line : watch.terminal.outputs().parallelLog())
            if (wait->printer->match(fromCp1252(line)).hasMatch())
                wait->printerFound = true;
    }
    for (const HistoryEntry &entry : m_history) {
        if (entry.seq <= afterSeq || entry.watch != &watch)
            continue;
        std::optional<StreamMatch> &match = entry.sent ? wait->sent : wait->received;
        if (match)
            match->feed(entry.bytes);
    }

    if (waitHolds(*wait))
        return {};
    const std::weak_ptr<Session> weak = session;
    wait->timer = new QTimer(this);
    wait->timer->setSingleShot(true);
    connect(wait->timer, &QTimer::timeout, this, [this, weak] {
        if (SessionPtr s = weak.lock())
            finishWait(s, true);
    });
    wait->timer->start(int(std::min<qint64>(wait->timeoutMs, std::numeric_limits<int>::max())));
    session->wait = std::move(wait);
    return {};
}

bool ControlServer::waitHolds(const Wait &wait) const
{
    if (wait.display) {
        const DisplayModel &display = wait.watch->terminal.display();
        if (!wait.display->match(fromCp1252(display.view1())).hasMatch() &&
            !wait.display->match(fromCp1252(display.view2())).hasMatch())
            return false;
    }
    if (wait.printer && !wait.printerFound)
        return false;
    if (wait.connected && *wait.connected != wait.watch->terminal.connections().isHostConnected())
        return false;
    if (wait.sent && !wait.sent->found)
        return false;
    if (wait.received && !wait.received->found)
        return false;
    return true;
}

void ControlServer::checkWaits()
{
    for (const SessionPtr &session : std::vector<SessionPtr>(m_sessions))
        if (session->wait && waitHolds(*session->wait))
            finishWait(session, false);
}

void ControlServer::finishWait(const SessionPtr &session, bool timedOut)
{
    std::unique_ptr<Wait> wait = std::move(session->wait);
    if (!wait)
        return;
    if (wait->timer) {
        wait->timer->stop();
        wait->timer->deleteLater();
    }
    if (timedOut)
        replyError(session, wait->id, QStringLiteral("timeout"),
                   QStringLiteral("the condition did not hold within %1 ms").arg(wait->timeoutMs),
                   {{QStringLiteral("state"), stateObject(*wait->watch)}});
    else
        reply(session, wait->id, {});
    session->busy = false;
    if (!session->closed)
        schedulePump(session);
}

// ---- Events ----

bool ControlServer::wanted(const QString &name) const
{
    for (const SessionPtr &session : m_sessions)
        if (session->events.contains(name))
            return true;
    return false;
}

void ControlServer::publish(const QString &name, QJsonObject fields, const Watch &watch)
{
    ++m_seq;
    if (!wanted(name))
        return;
    if (m_watches.size() > 1)
        fields.insert(QStringLiteral("terminal"), watch.name);
    fields.insert(QStringLiteral("event"), name);
    fields.insert(QStringLiteral("seq"), m_seq);
    fields.insert(QStringLiteral("time"), isoTimeNow());
    for (const SessionPtr &session : std::vector<SessionPtr>(m_sessions))
        if (session->events.contains(name))
            write(session, fields);
}

void ControlServer::remember(const Watch &watch, bool sent, const QByteArray &bytes)
{
    m_history.push_back({m_seq, &watch, sent, bytes});
    m_historyBytes += bytes.size();
    while (m_historyBytes > kHistoryBytes && !m_history.empty()) {
        m_historyBytes -= m_history.front().bytes.size();
        m_historyForgotten = m_history.front().seq;
        m_history.pop_front();
    }
}

void ControlServer::passedHost(Watch &watch, bool sent, const QByteArray &bytes)
{
    const QString name = sent ? QStringLiteral("sent") : QStringLiteral("received");
    publish(name, wanted(name) ? QJsonObject{{QStringLiteral("hex"), control::toHex(bytes)}} : QJsonObject(),
            watch);
    remember(watch, sent, bytes);
    bool fed = false;
    for (const SessionPtr &session : m_sessions) {
        std::optional<StreamMatch> *match = nullptr;
        if (session->wait && session->wait->watch == &watch)
            match = sent ? &session->wait->sent : &session->wait->received;
        if (match && *match) {
            (*match)->feed(bytes);
            fed = true;
        }
    }
    if (fed)
        checkWaits();
}

void ControlServer::hostDataReceived(Watch &watch, const QByteArray &bytes)
{
    passedHost(watch, false, bytes);
}

void ControlServer::hostDataSent(Watch &watch, const QByteArray &bytes)
{
    passedHost(watch, true, bytes);
}

void ControlServer::linkChanged(Watch &watch, LinkEvent event, const QString &peer, const QString &detail)
{
    const char *state = "error";
    switch (event) {
    case LinkEvent::Listening: state = "listening"; break;
    case LinkEvent::Accepted:
    case LinkEvent::Connected: state = "connected"; break;
    case LinkEvent::Refused: state = "refused"; break;
    case LinkEvent::Closed: state = "closed"; break;
    case LinkEvent::Error: state = "error"; break;
    }
    QJsonObject fields{{QStringLiteral("state"), QString::fromLatin1(state)}, {QStringLiteral("peer"), peer}};
    if (!detail.isEmpty())
        fields.insert(QStringLiteral("detail"), detail);
    publish(QStringLiteral("connection"), fields, watch);
    checkWaits();
}

void ControlServer::displayChanged(Watch &watch)
{
    checkWaits();
    if (watch.displayPending)
        return;
    // One event per turn of the event loop, with what the display shows by then.
    watch.displayPending = true;
    QMetaObject::invokeMethod(this, [this, &watch] { publishDisplay(watch); }, Qt::QueuedConnection);
}

void ControlServer::publishDisplay(Watch &watch)
{
    watch.displayPending = false;
    const DisplayModel &display = watch.terminal.display();
    publish(QStringLiteral("display"),
            wanted(QStringLiteral("display"))
                ? QJsonObject{{QStringLiteral("lines"),
                               QJsonArray{fromCp1252(display.DisplayLine1()), fromCp1252(display.DisplayLine2())}},
                              {QStringLiteral("shown"),
                               QJsonArray{fromCp1252(display.view1()), fromCp1252(display.view2())}},
                              {QStringLiteral("cursor"), QJsonArray{display.CursorRow(), display.CursorCol()}}}
                : QJsonObject(),
            watch);
}

void ControlServer::ledsChanged(Watch &watch)
{
    QJsonArray leds;
    for (int i = 0; i < 4; ++i)
        leds.append(colourText(watch.terminal.outputs().ledColor(i)));
    publish(QStringLiteral("leds"), {{QStringLiteral("leds"), leds}}, watch);
}

void ControlServer::publishNewLines(Watch &watch, bool printer)
{
    const Outputs &outputs = watch.terminal.outputs();
    const std::deque<QByteArray> &log = printer ? outputs.parallelLog() : outputs.serialLog();
    const quint64 added = printer ? outputs.parallelLinesAdded() : outputs.serialLinesAdded();
    quint64 &seen = printer ? watch.printerSeen : watch.serialSeen;
    const QString name = printer ? QStringLiteral("printer") : QStringLiteral("serial");
    const quint64 first = added - log.size();
    bool printerWaits = false;
    for (const SessionPtr &session : m_sessions)
        printerWaits = printerWaits || (printer && session->wait && session->wait->printer &&
                                        session->wait->watch == &watch);
    if (!printerWaits && !wanted(name)) {
        // Nobody looks at the lines: they only take their numbers.
        m_seq += qint64(added - seen);
        seen = added;
        return;
    }
    bool matched = false;
    for (quint64 index = std::max(seen, first); index < added; ++index) {
        const QString line = fromCp1252(log.at(std::size_t(index - first)));
        publish(name, {{QStringLiteral("line"), line}, {QStringLiteral("index"), qint64(index)}}, watch);
        if (!printer)
            continue;
        for (const SessionPtr &session : m_sessions) {
            Wait *wait = session->wait.get();
            if (wait && wait->watch == &watch && wait->printer && !wait->printerFound && wait->printer->match(line).hasMatch()) {
                wait->printerFound = true;
                matched = true;
            }
        }
    }
    // Lines dropped from the front before they were seen still take their numbers.
    if (first > seen)
        m_seq += qint64(first - seen);
    seen = added;
    if (matched)
        checkWaits();
}

void ControlServer::faultFired(Watch &watch, int id, const QString &kind, const QString &what)
{
    publish(QStringLiteral("fault"),
            {{QStringLiteral("fault"), id}, {QStringLiteral("kind"), kind}, {QStringLiteral("did"), what}}, watch);
}

void ControlServer::messageShown(Watch &watch, const QString &caption, const QString &text)
{
    publish(QStringLiteral("message"), {{QStringLiteral("caption"), caption}, {QStringLiteral("text"), text}},
            watch);
}
