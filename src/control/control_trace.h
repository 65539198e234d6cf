#pragma once

#include "trace/trace_session.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <functional>

class Terminal;

// The trace of one terminal as the control interface runs it (the commands
// are in control_commands_trace.cpp): started optionally into a file, text or
// JSON lines, stopped, and its summary of warnings by kind. While a trace runs
// every record is offered to the control interface as a "trace" event, whose
// fields are those of the record's JSON line under "record"; only subscribed
// clients receive it.
class ControlTrace : public QObject {
    Q_OBJECT
public:
    // wanted: whether any client subscribed to "trace"; publish: hands an
    // event's fields to the control interface (which numbers it).
    ControlTrace(Terminal &terminal, std::function<bool()> wanted, std::function<void(QJsonObject)> publish,
                 QObject *parent = nullptr);

    // file: relative to the terminal's working folder, or empty for no file;
    // created new (see openNewFile), an existing file written over only with
    // replace. A trace already running goes on when the new file is refused,
    // and ends when it is open. Returns the absolute path, or an empty one.
    // Throws ControlError: file_exists, not_a_file or trace_failed.
    QString start(const QString &file, traceformat::Format format, bool replace);
    // The summary; throws ControlError (not_tracing) when no trace runs.
    QJsonObject stop();
    // The summary of the running or last trace; not_tracing when none has run.
    QJsonObject warnings() const;

private:
    QJsonObject summaryObject() const;

    Terminal &m_terminal;
    TraceSession m_session;
    bool m_ran = false;
};
