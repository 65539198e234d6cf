#pragma once

#include "trace/trace_session.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <functional>

class Terminal;

// The trace commands of the control interface: "trace.start" (optionally into
// a file, text or JSON lines), "trace.stop" and "trace.warnings", which give
// the summary of warnings by kind. While a trace runs every record is offered
// to the control interface as a "trace" event, whose fields are those of the
// record's JSON line under "record"; only subscribed clients receive it.
class ControlTrace : public QObject {
    Q_OBJECT
public:
    // wanted: whether any client subscribed to "trace"; publish: hands an
    // event's fields to the control interface (which numbers it).
    ControlTrace(Terminal &terminal, std::function<bool()> wanted, std::function<void(QJsonObject)> publish,
                 QObject *parent = nullptr);

    // Throws ControlError on bad arguments or when no trace runs for "trace.stop".
    QJsonObject execute(const QString &cmd, const QJsonObject &args);

private:
    QJsonObject summaryObject() const;

    Terminal &m_terminal;
    TraceSession m_session;
    bool m_ran = false;
};
