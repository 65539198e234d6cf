// "glance": name, connection and what the display shows of many terminals in
// one reply, for a view of a large fleet that draws only what is in sight.
//
//   {"cmd":"glance"}                                  every terminal
//   {"cmd":"glance","terminals":["t001","t002"]}      these, in this order
//   {"cmd":"glance","match":"erro"}                   name or display text contains it (any case)
//   {"cmd":"glance","connected":false}                the terminals not connected
//   {"cmd":"glance","full":false}                     names and connection only
//
// The reply: {"count": terminals served, "terminals":[{"name","connected","shown","leds"}...]}.

#include "control/control_member.h"
#include "control/control_request.h"
#include "control/control_server.h"
#include "control/control_state.h"
#include "engine/cp1252.h"
#include "terminal/terminal.h"

#include <QJsonArray>

namespace {

constexpr qsizetype kMaxNames = 100000;
constexpr qsizetype kMaxMatch = 256;

struct GlanceArgs {
    std::optional<QStringList> names;
    QString match;
    std::optional<bool> connected;
    bool full = true;
};

GlanceArgs readGlance(const QJsonObject &args)
{
    GlanceArgs a;
    if (args.contains(QStringLiteral("terminals"))) {
        const QJsonValue list = args.value(QStringLiteral("terminals"));
        if (!list.isArray() || list.toArray().size() > kMaxNames)
            control::badArgument(QStringLiteral("\"terminals\" is a list of at most %1 terminal names").arg(kMaxNames));
        a.names.emplace();
        for (const QJsonValue item : list.toArray()) {
            if (!item.isString())
                control::badArgument(QStringLiteral("\"terminals\" is a list of terminal names"));
            a.names->append(item.toString());
        }
    }
    a.match = control::stringArg(args, QStringLiteral("match"), QString());
    if (a.match.size() > kMaxMatch)
        control::badArgument(QStringLiteral("\"match\" is at most %1 characters").arg(kMaxMatch));
    if (args.contains(QStringLiteral("connected")))
        a.connected = control::boolArg(args, QStringLiteral("connected"));
    a.full = control::boolArg(args, QStringLiteral("full"), true);
    return a;
}

} // namespace

namespace control {

ControlServer::ServerCommand glanceCommand()
{
    return {QStringLiteral("glance"), [](ControlServer &server, const QJsonObject &args) {
                const GlanceArgs a = readGlance(args);
                std::vector<const ControlMember *> chosen;
                if (a.names) {
                    QHash<QString, const ControlMember *> byName;
                    for (const auto &member : server.members())
                        byName.insert(member->name, member.get());
                    for (const QString &name : *a.names)
                        if (const ControlMember *member = byName.value(name))
                            chosen.push_back(member);
                } else {
                    for (const auto &member : server.members())
                        chosen.push_back(member.get());
                }
                QJsonArray list;
                for (const ControlMember *member : chosen) {
                    Terminal &t = member->terminal;
                    const bool connected = t.connections().isHostConnected();
                    if (a.connected && *a.connected != connected)
                        continue;
                    const QString line1 = fromCp1252(t.display().view1());
                    const QString line2 = fromCp1252(t.display().view2());
                    if (!a.match.isEmpty() && !member->name.contains(a.match, Qt::CaseInsensitive) &&
                        !line1.contains(a.match, Qt::CaseInsensitive) && !line2.contains(a.match, Qt::CaseInsensitive))
                        continue;
                    QJsonObject entry{{QStringLiteral("name"), member->name},
                                      {QStringLiteral("connected"), connected}};
                    if (a.full) {
                        entry.insert(QStringLiteral("shown"), QJsonArray{line1, line2});
                        entry.insert(QStringLiteral("leds"), ledsArray(t));
                    }
                    list.append(entry);
                }
                return QJsonObject{{QStringLiteral("count"), qint64(server.members().size())},
                                   {QStringLiteral("terminals"), list}};
            }};
}

} // namespace control
