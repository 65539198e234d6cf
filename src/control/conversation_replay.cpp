#include "control/conversation_replay.h"

#include "control/conversation_recording.h"
#include "engine/cp1252.h"
#include "terminal/terminal.h"
#include "trace/trace_format.h"
#include "trace/tracer.h"

#include <QJsonArray>
#include <QPointer>

using conversation::Step;

ConversationReplay::ConversationReplay(Terminal &terminal, const conversation::Conversation &conversation,
                                       const Options &options, QObject *parent)
    : QObject(parent), m_terminal(terminal), m_conversation(conversation), m_options(options)
{
    m_paceTimer.setSingleShot(true);
    connect(&m_paceTimer, &QTimer::timeout, this, [this] {
        act(m_conversation.steps[m_index]);
        ++m_index;
        advance();
    });
}

ConversationReplay::~ConversationReplay() = default;

QString ConversationReplay::settingsDifference(const conversation::Conversation &conversation, Terminal &terminal)
{
    const QJsonObject mine = ConversationRecording::settingsOf(terminal);
    QStringList differences;
    for (const QString &name : conversation::checkedSettings()) {
        if (!conversation.settings.contains(name))
            continue;
        const QJsonValue recorded = conversation.settings.value(name);
        const QJsonValue here = mine.value(name);
        if (recorded != here)
            differences.append(QStringLiteral("%1 %2 (the terminal has %3)")
                                   .arg(name, QString::fromUtf8(conversation::jsonText(recorded)),
                                        here.isUndefined() ? QStringLiteral("none")
                                                           : QString::fromUtf8(conversation::jsonText(here))));
    }
    if (differences.isEmpty())
        return {};
    return QStringLiteral("%1: recorded with %2; its \"Config.ini\" in %3 differs, so nothing was replayed")
        .arg(conversation.fileName, differences.join(QStringLiteral(", ")), terminal.workingFolder());
}

void ConversationReplay::start()
{
    m_clock.start();
    m_settingsError = settingsDifference(m_conversation, m_terminal);
    if (!m_settingsError.isEmpty()) {
        m_finished = true;
        m_elapsedMs = m_clock.elapsed();
        QMetaObject::invokeMethod(this, &ConversationReplay::finished, Qt::QueuedConnection);
        return;
    }
    m_waits = std::make_unique<TerminalWaits>(m_terminal);
    m_tracer = std::make_unique<Tracer>(m_terminal, [this](const TraceRecord &record) {
        QByteArray text;
        traceformat::appendText(text, record);
        traceRecord(text);
    });
    m_marks = conversation::logMarks(m_terminal.outputs());
    m_sinceAction.start();
    advance();
}

void ConversationReplay::traceRecord(const QByteArray &text)
{
    m_stepTrace += text;
    if (m_stepTrace.size() > kMaxStepTraceBytes) {
        // The end of a long step tells most about where it went wrong.
        const qsizetype cut = m_stepTrace.indexOf('\n', m_stepTrace.size() - kMaxStepTraceBytes / 2);
        m_stepTrace = "(earlier records of the step left out)\n" + m_stepTrace.mid(cut < 0 ? 0 : cut + 1);
    }
}

conversation::Screen ConversationReplay::screenNow() const
{
    return conversation::readScreen(m_terminal.display(), m_terminal.outputs(), m_marks);
}

void ConversationReplay::advance()
{
    // Runs the steps that need no waiting in one go; returns to the event loop to wait.
    if (m_advancing || m_finished)
        return;
    m_advancing = true;
    while (m_index < m_conversation.steps.size() && !m_waiting && !m_acting && !m_paceTimer.isActive()) {
        const Step &step = m_conversation.steps[m_index];
        if (step.kind == Step::Kind::Expect) {
            if (step.afterMs > 0)
                m_pacedMs += step.afterMs;
            ++m_expectation;
            if (step.holds(screenNow())) {
                ++m_met;
                ++m_index;
                continue;
            }
            waitFor(step);
            break;
        }
        if (m_options.paceReal && m_sinceAction.elapsed() < m_pacedMs + std::max<qint64>(step.afterMs, 0)) {
            m_paceTimer.start(int(m_pacedMs + std::max<qint64>(step.afterMs, 0) - m_sinceAction.elapsed()));
            break;
        }
        act(step);
        ++m_index;
    }
    m_advancing = false;
    if (m_index >= m_conversation.steps.size() && !m_waiting && !m_acting && !m_finished)
        finish();
}

void ConversationReplay::waitFor(const Step &step)
{
    m_waiting = true;
    m_waitClock.start();
    WaitCondition condition;
    condition.shows = [this, &step](Terminal &) { return step.holds(screenNow()); };
    m_waits->add(WaitProgress(m_terminal, std::move(condition)), m_options.stepTimeoutMs,
                 [this](WaitOutcome outcome) {
                     // Called from inside the change that made it hold: go on once its work is done.
                     QMetaObject::invokeMethod(this, [this, outcome] { waited(outcome); }, Qt::QueuedConnection);
                 });
}

void ConversationReplay::waited(WaitOutcome outcome)
{
    if (!m_waiting || m_finished)
        return;
    m_waiting = false;
    if (outcome != WaitOutcome::Held) {
        timedOut();
        return;
    }
    ++m_met;
    ++m_index;
    advance();
}

void ConversationReplay::act(const Step &step)
{
    m_lastAction = &step;
    m_pacedMs = 0;
    m_sinceAction.start();
    m_marks = conversation::logMarks(m_terminal.outputs());
    m_stepTrace.clear();
    m_acting = true;
    performConversationAction(m_terminal, step.command, step.args,
                              [self = QPointer<ConversationReplay>(this)](OperationStack::Outcome) {
                                  if (!self)
                                      return;
                                  self->m_acting = false;
                                  self->advance();
                              });
}

void ConversationReplay::timedOut()
{
    if (m_tracer)
        m_tracer->flush();
    const Step &step = m_conversation.steps[m_index];
    conversation::Mismatch mismatch;
    mismatch.file = m_conversation.fileName;
    mismatch.terminal = m_options.terminalName;
    mismatch.line = step.line;
    mismatch.step = m_expectation;
    mismatch.actionLine = m_lastAction ? m_lastAction->line : 0;
    mismatch.action = m_lastAction ? m_lastAction->actionText() : QByteArray();
    mismatch.waitedMs = m_waitClock.elapsed();
    mismatch.timeoutMs = m_options.stepTimeoutMs;
    mismatch.expectation = &step;
    mismatch.actual = screenNow();
    mismatch.trace = QString::fromUtf8(m_stepTrace);
    if (m_options.update)
        m_updatedLines[step.line] = conversation::updatedExpectLine(step, mismatch.actual);
    m_mismatches.push_back(std::move(mismatch));
    if (!m_options.update) {
        finish();
        return;
    }
    ++m_index;
    advance();
}

void ConversationReplay::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_elapsedMs = m_clock.elapsed();
    m_paceTimer.stop();
    m_tracer.reset();
    m_waits.reset();
    emit finished();
}

QByteArray ConversationReplay::updatedText() const
{
    if (m_updatedLines.empty())
        return {};
    return conversation::updatedFile(m_conversation, m_updatedLines);
}

void performConversationAction(Terminal &terminal, const QString &command, const QJsonObject &args,
                               OperationStack::Done done)
{
    OperatorActions &actions = terminal.actions();
    const QString on = QStringLiteral("on");
    if (command == QLatin1String("key")) {
        if (const std::optional<Keyboard::Key> key = Keyboard::keyForName(args.value(QStringLiteral("key")).toString()))
            return actions.pressKey(*key, std::move(done));
    } else if (command == QLatin1String("type")) {
        QList<Keyboard::Key> keys;
        for (const QChar c : args.value(QStringLiteral("text")).toString())
            if (const std::optional<Keyboard::Key> key = Keyboard::keyForCharacter(c))
                keys.append(*key);
        return actions.typeKeys(keys, {}, std::move(done));
    } else if (command == QLatin1String("input")) {
        actions.setInput(args.value(QStringLiteral("n")).toInt(), args.value(on).toBool());
    } else if (command == QLatin1String("busy")) {
        actions.setBusy(args.value(on).toBool());
    } else if (command == QLatin1String("cts")) {
        actions.setCts(args.value(on).toBool());
    } else if (command == QLatin1String("barcode")) {
        if (args.contains(QStringLiteral("code")))
            return actions.sendBarcode(toCp1252(args.value(QStringLiteral("code")).toString()), std::move(done));
        return actions.pressBarcodeButton(std::move(done));
    } else if (command == QLatin1String("scale")) {
        if (args.contains(QStringLiteral("readings"))) {
            QList<QByteArray> readings;
            for (const QJsonValue item : args.value(QStringLiteral("readings")).toArray())
                readings.append(toCp1252(item.toString()));
            actions.replaceScaleReadings(readings);
        }
        if (args.contains(on))
            actions.setScaleOn(args.value(on).toBool());
        if (args.contains(QStringLiteral("next")))
            actions.chooseScaleReading(args.value(QStringLiteral("next")).toInt());
    } else if (command == QLatin1String("reset")) {
        return actions.resetTerminal(std::move(done));
    } else if (command == QLatin1String("playback")) {
        actions.setPlayback(args.value(on).toBool());
    }
    if (done)
        done(OperationStack::Outcome::Finished);
}
