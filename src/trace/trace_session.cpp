#include "trace/trace_session.h"

#include "engine/prompts.h"
#include "terminal/terminal.h"
#include "trace/tracer.h"

#include <QDir>

TraceSession::TraceSession(Terminal &terminal, QObject *parent) : QObject(parent), m_terminal(terminal)
{
    m_flushTimer.setInterval(1000);
    connect(&m_flushTimer, &QTimer::timeout, this, &TraceSession::flushToFile);
}

TraceSession::~TraceSession()
{
    stop();
}

bool TraceSession::start(const QString &path, traceformat::Format format, QString *error)
{
    std::unique_ptr<QFile> file;
    if (!path.isEmpty()) {
        file = std::make_unique<QFile>(path);
        // Unbuffered: every write reaches the system at once, so a full disk shows in its result.
        if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
            if (error)
                *error = QStringLiteral("cannot write the trace to \"%1\": %2")
                             .arg(QDir::toNativeSeparators(path), file->errorString());
            return false;
        }
    }
    start(std::move(file), path, format);
    return true;
}

void TraceSession::start(std::unique_ptr<QFile> file, const QString &path, traceformat::Format format)
{
    stop();
    m_path = path;
    m_format = format;
    m_failing = false;
    m_buffer.clear();
    m_file = std::move(file);
    if (m_file) {
        m_buffer = traceformat::header(format, m_terminal.workingFolder());
        // Filled and written again and again: the buffer keeps its room between writes.
        m_buffer.reserve(2 * kBufferBytes);
        m_flushTimer.start();
    }
    m_tracer = std::make_unique<Tracer>(m_terminal, [this](const TraceRecord &record) { take(record); });
}

void TraceSession::take(const TraceRecord &record)
{
    if (m_file) {
        traceformat::append(m_buffer, record, m_format);
        if (m_buffer.size() >= kBufferBytes)
            flushToFile();
    }
    if (m_listener)
        m_listener(record);
}

void TraceSession::flushToFile()
{
    if (m_tracer)
        m_tracer->flush();
    if (!m_file || m_buffer.isEmpty())
        return;
    const qint64 written = m_file->write(m_buffer);
    if (written != m_buffer.size()) {
        fail(m_file->errorString());
        return;
    }
    m_buffer.truncate(0);
}

void TraceSession::fail(const QString &reason)
{
    if (m_failing)
        return;
    m_failing = true;
    m_buffer.clear();
    m_file.reset();
    m_flushTimer.stop();
    const QString text = QStringLiteral("Não foi possível gravar o rastreamento em \"%1\" (%2). O rastreamento "
                                        "foi interrompido; o terminal continua funcionando.")
                             .arg(QDir::toNativeSeparators(m_path), reason);
    // The failing write may lie deep in a host command; the trace ends, and the
    // user is told, once that work is done.
    QMetaObject::invokeMethod(
        this,
        [this, text] {
            stop();
            m_terminal.prompts().showMessage(kApplicationTitle, text, Prompts::Icon::Warning);
            emit failed(text);
        },
        Qt::QueuedConnection);
}

void TraceSession::stop()
{
    if (!m_tracer)
        return;
    m_tracer->flush();
    m_lastSummary = m_tracer->summary();
    m_tracer.reset();
    m_flushTimer.stop();
    if (m_file) {
        m_buffer += traceformat::summary(m_lastSummary, m_format);
        const qint64 written = m_file->write(m_buffer);
        m_buffer.clear();
        const QString reason = m_file->errorString();
        m_file.reset();
        if (written < 0)
            m_terminal.prompts().showMessage(kApplicationTitle,
                                             QStringLiteral("Não foi possível gravar o fim do rastreamento em "
                                                            "\"%1\" (%2).")
                                                 .arg(QDir::toNativeSeparators(m_path), reason),
                                             Prompts::Icon::Warning);
    }
}

TraceSummary TraceSession::summary() const
{
    return m_tracer ? m_tracer->summary() : m_lastSummary;
}
