#include "control/conversation_recording.h"

#include "engine/prompts.h"
#include "terminal/terminal.h"

#include <QDateTime>
#include <QDir>
#include <QJsonObject>

ConversationRecording::ConversationRecording(Terminal &terminal, QObject *parent)
    : QObject(parent), m_terminal(terminal)
{
}

ConversationRecording::~ConversationRecording()
{
    stop();
}

QJsonObject ConversationRecording::settingsOf(Terminal &terminal)
{
    const TerminalState &state = terminal.state();
    QJsonObject settings;
    if (state.protocolKind == TerminalState::kVt100)
        settings.insert(QStringLiteral("protocol"), QStringLiteral("vt100"));
    else if (state.protocolKind == TerminalState::kZorvane)
        settings.insert(QStringLiteral("protocol"), QStringLiteral("zorvane"));
    else if (state.protocolKind == TerminalState::kTelnet)
        settings.insert(QStringLiteral("protocol"), QStringLiteral("telnet"));
    if (state.connectionRole == TerminalState::kServer)
        settings.insert(QStringLiteral("role"), QStringLiteral("server"));
    else if (state.connectionRole == TerminalState::kClient)
        settings.insert(QStringLiteral("role"), QStringLiteral("client"));
    settings.insert(QStringLiteral("comutadora"), state.comutadoraMode);
    settings.insert(QStringLiteral("address"), QString::fromLatin1(state.comutadoraAddress.data(), 2));
    static const char *const terminators[] = {"none", "CR", "LF", "CR+LF"};
    const int terminator = terminal.barcode().terminatorIndex();
    settings.insert(QStringLiteral("terminator"),
                    terminator >= 0 && terminator < 4 ? QString::fromLatin1(terminators[terminator]) : QString());
    settings.insert(QStringLiteral("char_delay_ms"), state.barcodeCharDelay);
    return settings;
}

bool ConversationRecording::start(const QString &workingFolder, const QString &path, bool replace, QString *error,
                                  NewFile::Refusal *refusal)
{
    // Opened before the running recording ends, so a refused file leaves it going.
    NewFile opened = openNewFile(workingFolder, path, replace);
    if (refusal)
        *refusal = opened.refusal;
    if (!opened.file) {
        if (error)
            *error = QStringLiteral("cannot record the conversation: %1").arg(opened.error);
        return false;
    }
    stop();
    m_file = std::move(opened.file);
    m_path = opened.path;
    m_failing = false;
    m_reads = 0;
    m_clock.start();
    m_marks = conversation::logMarks(m_terminal.outputs());
    m_recorder = std::make_unique<conversation::Recorder>([this](const QByteArray &line) { return writeLine(line); });
    m_recorder->begin(settingsOf(m_terminal), QDateTime::currentDateTimeUtc(), m_clock.elapsed());
    m_terminal.addObserver(this);
    m_listener = m_terminal.actions().addListener(
        [this](const QString &command, const QJsonObject &args) { action(command, args); });
    emit recordingChanged(true);
    return !m_recorder->failed();
}

conversation::Screen ConversationRecording::screenNow() const
{
    return conversation::readScreen(m_terminal.display(), m_terminal.outputs(), m_marks);
}

void ConversationRecording::hostDataReceived(const QByteArray &bytes)
{
    Q_UNUSED(bytes);
    ++m_reads;
}

void ConversationRecording::action(const QString &command, const QJsonObject &args)
{
    if (!m_recorder)
        return;
    m_recorder->action(command, args, screenNow(), m_reads, m_clock.elapsed());
    m_marks = conversation::logMarks(m_terminal.outputs());
    if (m_recorder->failed())
        fail();
}

bool ConversationRecording::writeLine(const QByteArray &line)
{
    return m_file && m_file->write(line) == line.size();
}

void ConversationRecording::fail()
{
    if (m_failing)
        return;
    m_failing = true;
    const QString reason = m_file ? m_file->errorString() : QString();
    // The failing write may lie inside an operator action; the user is told once it is done.
    QMetaObject::invokeMethod(
        this,
        [this, reason] {
            const QString path = m_path;
            stop();
            m_terminal.prompts().showMessage(kApplicationTitle,
                                             QStringLiteral("Não foi possível gravar a conversa em \"%1\" (%2). A "
                                                            "gravação foi interrompida.")
                                                 .arg(QDir::toNativeSeparators(path), reason),
                                             Prompts::Icon::Warning);
        },
        Qt::QueuedConnection);
}

bool ConversationRecording::stop(QString *error)
{
    if (!m_recorder)
        return true;
    m_terminal.actions().removeListener(m_listener);
    m_terminal.removeObserver(this);
    const bool written = m_recorder->end(screenNow(), m_clock.elapsed()) && m_file->flush();
    m_lastActions = m_recorder->actions();
    m_recorder.reset();
    m_file->close();
    m_file.reset();
    emit recordingChanged(false);
    if (!written && error)
        *error = QStringLiteral("the end of the conversation could not be written to \"%1\"")
                     .arg(QDir::toNativeSeparators(m_path));
    return written;
}
