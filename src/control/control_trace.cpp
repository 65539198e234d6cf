#include "control/control_trace.h"

#include "control/control_request.h"
#include "terminal/terminal.h"

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

void ControlTrace::start(const QString &path, traceformat::Format format)
{
    QString error;
    if (!m_session.start(path, format, &error))
        throw ControlError{QStringLiteral("trace_failed"), error};
    m_ran = true;
}

QJsonObject ControlTrace::stop()
{
    if (!m_session.isRunning())
        throw ControlError{QStringLiteral("not_tracing"), QStringLiteral("no trace is running")};
    m_session.stop();
    return summaryObject();
}

QJsonObject ControlTrace::warnings() const
{
    if (!m_ran)
        throw ControlError{QStringLiteral("not_tracing"), QStringLiteral("no trace has been started")};
    return summaryObject();
}
