#include "control/control_trace.h"

#include "control/control_request.h"
#include "terminal/terminal.h"

#include <QDir>
#include <QJsonDocument>

ControlTrace::ControlTrace(Terminal &terminal, std::function<bool()> wanted,
                           std::function<void(QJsonObject)> publish, QObject *parent)
    : QObject(parent), m_terminal(terminal), m_session(terminal)
{
    m_session.setListener([wanted = std::move(wanted), publish = std::move(publish)](const TraceRecord &record) {
        if (!wanted()) {
            publish({});
            return;
        }
        QByteArray line;
        traceformat::appendJson(line, record);
        publish({{QStringLiteral("record"), QJsonDocument::fromJson(line).object()}});
    });
}

QJsonObject ControlTrace::summaryObject() const
{
    const TraceSummary summary = m_session.summary();
    QJsonObject warnings;
    for (const auto &[kind, count] : summary.warnings)
        warnings.insert(kind, count);
    QJsonObject notes;
    for (const auto &[kind, count] : summary.notes)
        notes.insert(kind, count);
    return {{QStringLiteral("running"), m_session.isRunning()},
            {QStringLiteral("records"), summary.records},
            {QStringLiteral("warnings"), warnings},
            {QStringLiteral("notes"), notes}};
}

QJsonObject ControlTrace::execute(const QString &cmd, const QJsonObject &args)
{
    if (cmd == QLatin1String("trace.start")) {
        const QString file = control::stringArg(args, QStringLiteral("file"), QString());
        const QString formatName = control::stringArg(args, QStringLiteral("format"), QStringLiteral("text"));
        traceformat::Format format = traceformat::Format::Text;
        if (formatName == QLatin1String("jsonl"))
            format = traceformat::Format::JsonLines;
        else if (formatName != QLatin1String("text"))
            control::badArgument(QStringLiteral("\"format\" is \"text\" or \"jsonl\""));
        // A relative name lives in the terminal's working folder, like its other files.
        const QString path = file.isEmpty() ? QString() : QDir(m_terminal.workingFolder()).absoluteFilePath(file);
        QString error;
        if (!m_session.start(path, format, &error))
            throw ControlError{QStringLiteral("trace_failed"), error};
        m_ran = true;
        return {{QStringLiteral("file"), path.isEmpty() ? QJsonValue() : QJsonValue(path)},
                {QStringLiteral("format"), formatName}};
    }
    if (cmd == QLatin1String("trace.stop")) {
        if (!m_session.isRunning())
            throw ControlError{QStringLiteral("not_tracing"), QStringLiteral("no trace is running")};
        m_session.stop();
        return summaryObject();
    }
    if (cmd == QLatin1String("trace.warnings")) {
        if (!m_ran)
            throw ControlError{QStringLiteral("not_tracing"), QStringLiteral("no trace has been started")};
        return summaryObject();
    }
    throw ControlError{QStringLiteral("unknown_command"), QStringLiteral("no command is called \"%1\"").arg(cmd)};
}
