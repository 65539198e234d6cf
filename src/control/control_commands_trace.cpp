// Trace: "trace.start" (optionally into a file, "format" text or jsonl),
// "trace.stop" and "trace.warnings", on the terminal the request names; the
// records go to "trace" subscribers as events (see control_trace.h).

#include "control/control_command.h"
#include "control/control_member.h"
#include "control/control_trace.h"
#include "terminal/terminal.h"

#include <QDir>

namespace {

struct StartArgs {
    QString path;
    QString formatName;
    traceformat::Format format;
};

StartArgs readStart(const CommandContext &c)
{
    const QString file = control::stringArg(c.args(), QStringLiteral("file"), QString());
    StartArgs a{{}, control::stringArg(c.args(), QStringLiteral("format"), QStringLiteral("text")),
                traceformat::Format::Text};
    if (a.formatName == QLatin1String("jsonl"))
        a.format = traceformat::Format::JsonLines;
    else if (a.formatName != QLatin1String("text"))
        control::badArgument(QStringLiteral("\"format\" is \"text\" or \"jsonl\""));
    // A relative name lives in the terminal's working folder, like its other files.
    if (!file.isEmpty())
        a.path = QDir(c.terminal().workingFolder()).absoluteFilePath(file);
    return a;
}

QJsonObject runStart(CommandContext &c, const StartArgs &a)
{
    c.member.trace->start(a.path, a.format);
    return {{QStringLiteral("file"), a.path.isEmpty() ? QJsonValue() : QJsonValue(a.path)},
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
