#include "control/control_member.h"

#include "control/control_request.h"
#include "control/control_server.h"
#include "control/control_state.h"
#include "control/control_trace.h"
#include "control/conversation_recording.h"
#include "engine/cp1252.h"
#include "terminal/terminal.h"

#include <QJsonArray>

ControlMember::ControlMember(ControlServer &server, Terminal &terminal, QString name, quint32 number)
    : server(server), terminal(terminal), name(std::move(name)), number(number),
      waits(terminal, TerminalWaits::Feed::Forwarded), m_printerSeen(terminal.outputs().parallelLinesAdded()),
      m_serialSeen(terminal.outputs().serialLinesAdded())
{
    terminal.addObserver(this);
    trace = std::make_unique<ControlTrace>(
        terminal, [&server] { return server.wanted(QStringLiteral("trace")); },
        [this](QJsonObject fields) { this->server.publish(QStringLiteral("trace"), std::move(fields), *this); });
}

ControlMember::~ControlMember()
{
    detach();
}

void ControlMember::detach()
{
    if (!attached)
        return;
    attached = false;
    trace.reset();
    // A recording in progress is closed with what the terminal shows now.
    recording.reset();
    terminal.removeObserver(this);
    waits.endAll();
}

// ---- Sends and reads ----

void ControlMember::passedHost(bool sent, const QByteArray &bytes)
{
    const QString event = sent ? QStringLiteral("sent") : QStringLiteral("received");
    server.publish(event,
                   server.wanted(event) ? QJsonObject{{QStringLiteral("hex"), control::toHex(bytes)}}
                                        : QJsonObject(),
                   *this);
    server.history().add(server.lastSeq(), number, sent, bytes);
    if (sent)
        waits.hostDataSent(bytes);
    else
        waits.hostDataReceived(bytes);
}

void ControlMember::hostDataReceived(const QByteArray &bytes)
{
    passedHost(false, bytes);
}

void ControlMember::hostDataSent(const QByteArray &bytes)
{
    passedHost(true, bytes);
}

// ---- The connection, the display, the LEDs ----

void ControlMember::linkChanged(LinkEvent event, const QString &peer, const QString &detail)
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
    server.publish(QStringLiteral("connection"), fields, *this);
    waits.linkChanged(event, peer, detail);
}

void ControlMember::displayChanged()
{
    waits.displayChanged();
    if (m_displayPending)
        return;
    // One event per turn of the event loop, with what the display shows by then.
    m_displayPending = true;
    const std::weak_ptr<ControlMember> weak = weak_from_this();
    QMetaObject::invokeMethod(
        &server,
        [weak] {
            if (const std::shared_ptr<ControlMember> member = weak.lock(); member && member->attached)
                member->publishDisplay();
        },
        Qt::QueuedConnection);
}

void ControlMember::publishDisplay()
{
    m_displayPending = false;
    server.publish(QStringLiteral("display"),
                   server.wanted(QStringLiteral("display")) ? control::displayObject(terminal) : QJsonObject(),
                   *this);
}

void ControlMember::ledsChanged()
{
    server.publish(QStringLiteral("leds"), {{QStringLiteral("leds"), control::ledsArray(terminal)}}, *this);
    waits.ledsChanged();
}

// ---- The printer and serial logs ----

void ControlMember::printerChanged()
{
    publishNewLines(true);
    waits.printerChanged();
}

void ControlMember::serialChanged()
{
    publishNewLines(false);
    waits.serialChanged();
}

void ControlMember::publishNewLines(bool printer)
{
    const Outputs &outputs = terminal.outputs();
    const std::deque<QByteArray> &log = printer ? outputs.parallelLog() : outputs.serialLog();
    const quint64 added = printer ? outputs.parallelLinesAdded() : outputs.serialLinesAdded();
    quint64 &seen = printer ? m_printerSeen : m_serialSeen;
    const QString event = printer ? QStringLiteral("printer") : QStringLiteral("serial");
    const quint64 first = added - log.size();
    if (!server.wanted(event)) {
        // Nobody looks at the lines: they only take their numbers.
        server.skipEvents(qint64(added - seen));
        seen = added;
        return;
    }
    for (quint64 index = std::max(seen, first); index < added; ++index)
        server.publish(event,
                       {{QStringLiteral("line"), fromCp1252(log.at(std::size_t(index - first)))},
                        {QStringLiteral("index"), qint64(index)}},
                       *this);
    // Lines dropped from the front before they were seen still take their numbers.
    if (first > seen)
        server.skipEvents(qint64(first - seen));
    seen = added;
}

// ---- Messages and faults ----

void ControlMember::faultFired(int id, const QString &kind, const QString &what)
{
    server.publish(QStringLiteral("fault"),
                   {{QStringLiteral("fault"), id}, {QStringLiteral("kind"), kind}, {QStringLiteral("did"), what}},
                   *this);
}

void ControlMember::messageShown(const QString &caption, const QString &text)
{
    server.publish(QStringLiteral("message"), {{QStringLiteral("caption"), caption}, {QStringLiteral("text"), text}},
                   *this);
}
