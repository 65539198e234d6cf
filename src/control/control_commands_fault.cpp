// Faults: "fault.add" puts one in force on the terminal (see fault_spec_json.h
// for its fields), "fault.list" shows those in force with what they did, and
// "fault.clear" takes one ("fault": its number) or all away.

#include "control/control_command.h"
#include "control/fault_spec_json.h"
#include "terminal/terminal.h"

#include <QJsonArray>

#include <limits>

namespace control {

ControlCommands faultCommands()
{
    return {
        ControlCommand::of(QStringLiteral("fault.add"),
                           [](const CommandContext &c) { return faultSpecFromJson(c.args()); },
                           [](CommandContext &c, const FaultSpec &spec) {
                               const int id = c.terminal().faults().add(spec);
                               if (id < 0)
                                   badArgument(QStringLiteral("at most %1 faults at a time").arg(FaultInjector::kMaxFaults));
                               return QJsonObject{{QStringLiteral("id"), id}};
                           }),
        ControlCommand::of(QStringLiteral("fault.list"),
                           [](CommandContext &c) {
                               QJsonArray faults;
                               for (const FaultInjector::Status &status : c.terminal().faults().list())
                                   faults.append(faultStatusToJson(status));
                               return QJsonObject{{QStringLiteral("faults"), faults}};
                           }),
        ControlCommand::of(
            QStringLiteral("fault.clear"),
            [](const CommandContext &c) -> std::optional<int> {
                // A request's "id" is its own, echoed in the reply; the fault's number travels as "fault".
                if (!c.args().contains(QStringLiteral("fault")))
                    return std::nullopt;
                return int(intArg(c.args(), QStringLiteral("fault"), 1, std::numeric_limits<int>::max()));
            },
            [](CommandContext &c, std::optional<int> fault) {
                if (!fault)
                    c.terminal().faults().clearAll();
                else if (!c.terminal().faults().clear(*fault))
                    badArgument(QStringLiteral("no fault %1 is in force").arg(*fault));
                return QJsonObject();
            }),
    };
}

} // namespace control
