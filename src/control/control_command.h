#pragma once

#include "control/control_request.h"

#include <QJsonObject>
#include <QString>

#include <functional>
#include <type_traits>
#include <utility>
#include <vector>

class ControlServer;
class Terminal;
struct ControlMember;
struct ControlSession;

// One request on its way through the table: the client's session, the
// terminal it chose ("terminal" in the request, the first terminal when it
// names none) and the request itself.
struct CommandContext {
    ControlServer &server;
    ControlSession &session;
    ControlMember &member;
    bool named; // the request chose the terminal with "terminal"
    const ControlRequest &request;

    const QJsonObject &args() const { return request.args; }
    Terminal &terminal() const;
};

// One command of the control protocol: its name, the reader of its arguments
// and its handler. The reader checks every argument and throws ControlError
// (through the readers of control_request.h) before anything acts; the
// handler then carries the request out and returns the "ok" object of the
// reply. A handler may still throw ControlError for what only acting can tell
// (a file that cannot be opened); it may also leave the request pending (see
// ControlServer::beginWait), and the reply goes out when that ends.
//
//   ControlCommand::of(QStringLiteral("busy"),
//       [](const CommandContext &c) { return control::boolArg(c.args(), QStringLiteral("on")); },
//       [](CommandContext &c, bool on) { c.terminal().actions().setBusy(on); return QJsonObject(); });
//
// A command without arguments gives the handler alone.
struct ControlCommand {
    using Run = std::function<QJsonObject(CommandContext &)>;

    QString name;
    std::function<Run(const CommandContext &)> read;

    template <typename Reader, typename Handler>
    static ControlCommand of(QString name, Reader reader, Handler handler)
    {
        using Args = std::decay_t<std::invoke_result_t<Reader, const CommandContext &>>;
        return {std::move(name), [reader, handler](const CommandContext &context) -> Run {
                    return [args = Args(reader(context)), handler](CommandContext &c) { return handler(c, args); };
                }};
    }

    template <typename Handler>
    static ControlCommand of(QString name, Handler handler)
    {
        return {std::move(name), [handler](const CommandContext &) -> Run { return handler; }};
    }
};

using ControlCommands = std::vector<ControlCommand>;

// The commands of each theme, in their own files.
namespace control {
ControlCommands operatorCommands(); // control_commands_operator.cpp: key, type, input, busy, cts, barcode, scale, reset, playback
ControlCommands stateCommands();    // control_commands_state.cpp: state, log
ControlCommands waitCommands();     // control_commands_wait.cpp: wait
ControlCommands eventCommands();    // control_commands_events.cpp: subscribe, unsubscribe
ControlCommands faultCommands();    // control_commands_fault.cpp: fault.add, fault.list, fault.clear
ControlCommands traceCommands();    // control_commands_trace.cpp: trace.start, trace.stop, trace.warnings
ControlCommands recordCommands();   // control_commands_record.cpp: record.start, record.stop
// All of the above: the table every control server starts with.
ControlCommands builtInCommands(); // control_commands.cpp

// What "playback" does to one terminal, for a front end's own variant of it;
// returns the reply. Starting without a "Digitacoes.ini" throws no_script.
QJsonObject setPlayback(Terminal &terminal, bool on);
} // namespace control
