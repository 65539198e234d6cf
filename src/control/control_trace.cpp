#include "control/control_trace.h"

#include "control/control_request.h"
#include "shell/new_file.h"
#include "terminal/terminal.h"

#include <QFile>
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

QString ControlTrace::start(const QString &file, traceformat::Format format, bool replace)
{
    if (file.isEmpty()) {
        m_session.start(nullptr, QString(), format);
        m_ran = true;
        return QString();
    }
    NewFile opened = openNewFile(m_terminal.workingFolder(), file, replace);
    switch (opened.refusal) {
    case NewFile::Refusal::None: break;
    case NewFile::Refusal::Exists: throw ControlError{QStringLiteral("file_exists"), opened.error};
    case NewFile::Refusal::NotAFile: throw ControlError{QStringLiteral("not_a_file"), opened.error};
    case NewFile::Refusal::Failed: throw ControlError{QStringLiteral("trace_failed"), opened.error};
    }
    m_session.start(std::move(opened.file), opened.path, format);
    m_ran = true;
    return opened.path;
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
