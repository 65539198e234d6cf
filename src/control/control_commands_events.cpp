// Events: "subscribe" adds event names to what the client receives,
// "unsubscribe" takes some (or all) away. Every event is numbered whether or
// not anyone receives it (see ControlServer::publish).

#include "control/control_command.h"
#include "control/control_server.h"

#include <QJsonArray>
#include <QStringList>

namespace {

const QStringList kEventNames = {QStringLiteral("display"),    QStringLiteral("leds"),    QStringLiteral("printer"),
                                 QStringLiteral("serial"),     QStringLiteral("sent"),    QStringLiteral("received"),
                                 QStringLiteral("connection"), QStringLiteral("message"), QStringLiteral("fault"),
                                 QStringLiteral("trace")};

QSet<QString> readSubscribe(const CommandContext &c)
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

QJsonObject runSubscribe(CommandContext &c, const QSet<QString> &names)
{
    c.session.events.unite(names);
    QStringList all(c.session.events.begin(), c.session.events.end());
    all.sort();
    return {{QStringLiteral("events"), QJsonArray::fromStringList(all)}};
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
    if (!names)
        c.session.events.clear();
    else
        for (const QString &name : *names)
            c.session.events.remove(name);
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
