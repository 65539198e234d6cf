// Trace: "trace.start" (optionally into a file created new, or written over
// with "replace":true; "format" text or jsonl),
// "trace.stop" and "trace.warnings", on the terminal the request names; the
// records go to "trace" subscribers as events (see control_trace.h).

#include "control/control_command.h"
#include "control/control_member.h"
#include "control/control_trace.h"

namespace {

struct StartArgs {
    QString file;
    QString formatName;
    traceformat::Format format;
    bool replace;
};

StartArgs readStart(const CommandContext &c)
{
    StartArgs a{control::stringArg(c.args(), QStringLiteral("file"), QString()),
                control::stringArg(c.args(), QStringLiteral("format"), QStringLiteral("text")),
                traceformat::Format::Text, control::boolArg(c.args(), QStringLiteral("replace"), false)};
    if (a.formatName == QLatin1String("jsonl"))
        a.format = traceformat::Format::JsonLines;
    else if (a.formatName != QLatin1String("text"))
        control::badArgument(QStringLiteral("\"format\" is \"text\" or \"jsonl\""));
    return a;
}

QJsonObject runStart(CommandContext &c, const StartArgs &a)
{
    // A relative name lives in the terminal's working folder, like its other files.
    const QString path = c.member.trace->start(a.file, a.format, a.replace);
    return {{QStringLiteral("file"), path.isEmpty() ? QJsonValue() : QJsonValue(path)},
            {QStringLiteral("format"), a.formatName}};
}

} // namespace

namespace control {

ControlCommands traceCommands()
{
    return {
        ControlCommand::of(QStringLiteral("trace.start"), readStart, runStart),
        ControlCommand::of(QStringLiteral("trace.stop"), [](CommandContext &c) { return c.member.trace->stop(); }),
        ControlCommand::of(QStringLiteral("trace.warnings"),
                           [](CommandContext &c) { return c.member.trace->warnings(); }),
    };
}

} // namespace control
