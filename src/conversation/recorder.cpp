#include "conversation/recorder.h"

#include "inputs/keyboard.h"

#include <utility>

namespace conversation {

namespace {

const QString kKey = QStringLiteral("key");
const QString kType = QStringLiteral("type");
const QString kText = QStringLiteral("text");

// The characters a key or "type" action types.
QString typedText(const QString &command, const QJsonObject &args)
{
    if (command == kType)
        return args.value(kText).toString();
    const std::optional<Keyboard::Key> key = Keyboard::keyForName(args.value(kKey).toString());
    return key ? QString(Keyboard::typedCharacter(*key)) : QString();
}

} // namespace

Recorder::Recorder(LineWriter writer) : m_writer(std::move(writer)) {}

bool Recorder::write(const QByteArray &line)
{
    if (m_failed)
        return false;
    if (!m_writer(line))
        m_failed = true;
    return !m_failed;
}

bool Recorder::begin(const QJsonObject &settings, const QDateTime &now, qint64 nowMs)
{
    m_lastLineMs = nowMs;
    return write(headerLine(settings, now));
}

bool Recorder::canJoin(const QString &command, const QJsonObject &args, const Screen &before,
                       quint64 hostReads) const
{
    // Only keys join, and only while the host has sent nothing and nothing else changed.
    return m_pending && command == kKey && (m_pendingCommand == kKey || m_pendingCommand == kType) &&
           hostReads == m_readsAtPending && before.display == m_lastExpected.display &&
           before.leds == m_lastExpected.leds && before.printer.isEmpty() && before.serial.isEmpty() &&
           !typedText(command, args).isEmpty();
}

bool Recorder::flushPending()
{
    if (!m_pending)
        return !m_failed;
    m_pending = false;
    return write(actionLine(m_pendingCommand, m_pendingArgs));
}

bool Recorder::action(const QString &command, const QJsonObject &args, const Screen &before, quint64 hostReads,
                      qint64 nowMs)
{
    if (m_failed)
        return false;
    ++m_actions;
    if (canJoin(command, args, before, hostReads)) {
        const QString text = typedText(m_pendingCommand, m_pendingArgs) + typedText(command, args);
        m_pendingCommand = kType;
        m_pendingArgs = QJsonObject{{kText, text}};
        return true;
    }
    if (!flushPending())
        return false;
    if (!write(expectLine(before.toJson(), nowMs - m_lastLineMs)))
        return false;
    m_lastLineMs = nowMs;
    m_lastExpected = before;
    m_pending = true;
    m_pendingCommand = command;
    m_pendingArgs = args;
    m_readsAtPending = hostReads;
    return true;
}

bool Recorder::end(const Screen &atStop, qint64 nowMs)
{
    if (!flushPending())
        return false;
    return write(expectLine(atStop.toJson(), nowMs - m_lastLineMs));
}

} // namespace conversation
