#pragma once

#include "trace/trace_format.h"
#include "trace/trace_record.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

class Terminal;
class Tracer;

// One trace of a terminal from start() to stop(): a Tracer whose records are
// written to a file (text or JSON lines), handed to a listener (the control
// interface's subscribers), or both.
//
// Writing is buffered: the buffer goes to the file when it passes
// kBufferBytes, at least once a second, and at stop(), which closes the file
// with the summary of warnings. A write the file refuses (a full disk, a
// removed device) stops the whole trace and tells the user once, through the
// terminal's prompts; the terminal itself goes on as before.
class TraceSession : public QObject {
    Q_OBJECT
public:
    using Listener = std::function<void(const TraceRecord &)>;
    static constexpr qsizetype kBufferBytes = 256 * 1024;

    explicit TraceSession(Terminal &terminal, QObject *parent = nullptr);
    ~TraceSession() override;

    // An empty path writes no file. False, with a sentence in *error, when the
    // file cannot be opened; a trace already running then goes on unchanged.
    bool start(const QString &path, traceformat::Format format, QString *error);
    // Into a file the caller opened for writing (see openNewFile), named path
    // in messages; nullptr writes no file. Ends a trace already running first.
    void start(std::unique_ptr<QFile> file, const QString &path, traceformat::Format format);
    // Writes what is pending and the summary, closes the file. Nothing when not running.
    void stop();
    bool isRunning() const { return m_tracer != nullptr; }
    const QString &path() const { return m_path; }
    traceformat::Format format() const { return m_format; }
    // Of the running trace, or of the last one once stopped.
    TraceSummary summary() const;
    void setListener(Listener listener) { m_listener = std::move(listener); }

signals:
    // The trace stopped by itself; reason says why, as the user was told.
    void failed(const QString &reason);

private:
    void take(const TraceRecord &record);
    void flushToFile();
    void fail(const QString &reason);

    Terminal &m_terminal;
    std::unique_ptr<Tracer> m_tracer;
    Listener m_listener;
    QString m_path;
    traceformat::Format m_format = traceformat::Format::Text;
    std::unique_ptr<QFile> m_file; // none: no file is written
    QByteArray m_buffer;
    QTimer m_flushTimer;
    TraceSummary m_lastSummary;
    bool m_failing = false;
};
