// Events: "subscribe" adds event names to what the client receives,
// "unsubscribe" takes some (or all) away. Every event is numbered whether or
// not anyone receives it (see ControlServer::publish). A client watching part
// of a large fleet names the terminals it wants events of ("terminals", which
// replaces the list it had; null for all of them) and may have the state-like
// events (display, leds, connection) of each terminal merged to one per
// "merge_ms" milliseconds.

#include "control/control_command.h"
#include "control/control_server.h"

#include <QJsonArray>
#include <QStringList>

namespace {

const QStringList kEventNames = {QStringLiteral("display"),    QStringLiteral("leds"),    QStringLiteral("printer"),
                                 QStringLiteral("serial"),     QStringLiteral("sent"),    QStringLiteral("received"),
                                 QStringLiteral("connection"), QStringLiteral("message"), QStringLiteral("fault"),
                                 QStringLiteral("trace"),      QStringLiteral("fleet")};

// More names than any fleet holds is not a list of terminals.
constexpr qsizetype kMaxWatched = 100000;

struct SubscribeArgs {
    QSet<QString> events;
    bool setTerminals = false;
    std::optional<QSet<QString>> terminals;
    std::optional<qint64> mergeMs;
};

QSet<QString> readEventNames(const CommandContext &c)
{
    const QJsonValue list = c.args().value(QStringLiteral("events"));
    if (!list.isArray())
        control::badArgument(QStringLiteral("\"events\" must be a list of event names"));
    QSet<QString> names;
    for (const QJsonValue item : list.toArray()) {
        if (!item.isString() || !kEventNames.contains(item.toString()))
            control::badArgument(QStringLiteral("events are %1").arg(kEventNames.join(QStringLiteral(", "))));
        names.insert(item.toString());
    }
    return names;
}

SubscribeArgs readSubscribe(const CommandContext &c)
{
    SubscribeArgs a;
    a.events = readEventNames(c);
    if (c.args().contains(QStringLiteral("terminals"))) {
        a.setTerminals = true;
        const QJsonValue list = c.args().value(QStringLiteral("terminals"));
        if (!list.isNull()) {
            if (!list.isArray() || list.toArray().size() > kMaxWatched)
                control::badArgument(
                    QStringLiteral("\"terminals\" is a list of at most %1 terminal names, or null").arg(kMaxWatched));
            a.terminals.emplace();
            for (const QJsonValue item : list.toArray()) {
                if (!item.isString())
                    control::badArgument(QStringLiteral("\"terminals\" is a list of terminal names"));
                a.terminals->insert(item.toString());
            }
        }
    }
    if (c.args().contains(QStringLiteral("merge_ms")))
        a.mergeMs = control::intArg(c.args(), QStringLiteral("merge_ms"), 0, ControlServer::kMaxMergeMs);
    return a;
}

QJsonObject runSubscribe(CommandContext &c, const SubscribeArgs &a)
{
    c.session.events.unite(a.events);
    c.server.subscriptionsChanged();
    if (a.setTerminals)
        c.session.terminals = a.terminals;
    if (a.mergeMs)
        c.session.mergeMs = *a.mergeMs;
    QStringList all(c.session.events.begin(), c.session.events.end());
    all.sort();
    QJsonObject reply{{QStringLiteral("events"), QJsonArray::fromStringList(all)}};
    if (c.session.terminals)
        reply.insert(QStringLiteral("terminals"), qint64(c.session.terminals->size()));
    if (c.session.mergeMs > 0)
        reply.insert(QStringLiteral("merge_ms"), c.session.mergeMs);
    return reply;
}

// No list: every event.
std::optional<QStringList> readUnsubscribe(const CommandContext &c)
{
    const QJsonValue list = c.args().value(QStringLiteral("events"));
    if (list.isUndefined())
        return std::nullopt;
    if (!list.isArray())
        control::badArgument(QStringLiteral("\"events\" must be a list of event names"));
    QStringList names;
    for (const QJsonValue item : list.toArray())
        names.append(item.toString());
    return names;
}

QJsonObject runUnsubscribe(CommandContext &c, const std::optional<QStringList> &names)
{
    if (!names) {
        c.session.events.clear();
        c.session.terminals.reset();
    } else
        for (const QString &name : *names)
            c.session.events.remove(name);
    c.server.subscriptionsChanged();
    return {};
}

} // namespace

namespace control {

ControlCommands eventCommands()
{
    return {
        ControlCommand::of(QStringLiteral("subscribe"), readSubscribe, runSubscribe),
        ControlCommand::of(QStringLiteral("unsubscribe"), readUnsubscribe, runUnsubscribe),
    };
}

} // namespace control
