#include "inputs/playback.h"

#include "engine/errors.h"
#include "engine/terminal_observer.h"
#include "inputs/playback_markers.h"

#include <utility>

namespace {

const QByteArray kParametros = QByteArrayLiteral("Parametros");
const QByteArray kInputs = QByteArrayLiteral("Inputs");

} // namespace

Playback::Playback(TerminalState &state, Keyboard &keyboard, Prompts &prompts, ReaderFactory openScript,
                   QObject *parent)
    : QObject(parent), m_state(state), m_keyboard(keyboard), m_prompts(prompts), m_openScript(std::move(openScript))
{
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &Playback::TSimulaTimer);
}

QString Playback::caption() const
{
    return m_mode == Mode::Idle ? QStringLiteral("Carrega Arquivo") : QStringLiteral("Descarrega Arquivo");
}

void Playback::BtCarregaClick()
{
    guarded(m_prompts, [this] {
        if (m_mode == Mode::Idle)
            start();
        else
            stop();
    });
}

void Playback::start()
{
    const std::unique_ptr<ProfileReader> script = m_openScript ? m_openScript() : nullptr;
    if (!script || !script->exists())
        return;

    const QByteArray charInterval = script->readString(kParametros, "Tempo_entre_caracteres", "400");
    const QByteArray fieldInterval = script->readString(kParametros, "Tempo_entre_campos", "2000");
    const QByteArray loopInterval = script->readString(kParametros, "Tempo_de_Loop", "6000");
    const QByteArray countText = script->readString(kParametros, "Numero_de_Inputs", "4");

    // Both conversions come before anything changes, so a bad value leaves playback idle.
    const int count = StrToInt(countText);
    if (count < 1 || count > kMaxInputs) {
        reportError(m_prompts, QStringLiteral("O Numero_de_Inputs de \"Digitacoes.ini\" deve estar entre 1 e %1, e não %2")
                                   .arg(kMaxInputs)
                                   .arg(count));
        return;
    }
    const int firstInterval = StrToInt(charInterval);

    QList<QByteArray> sources;
    sources.reserve(count);
    for (int i = 0; i < count; ++i)
        sources.append(script->readString(kInputs, QByteArray::number(i), QByteArray()));

    m_charInterval = charInterval;
    m_fieldInterval = fieldInterval;
    m_loopInterval = loopInterval;
    m_sources = sources;
    m_inputs = std::move(sources);
    m_pos = 0;
    ++m_run;
    setMode(Mode::Playing);
    enableTimer(firstInterval);
}

void Playback::stop()
{
    m_timer.stop();
    ++m_run;
    setMode(Mode::Idle);
}

void Playback::TSimulaTimer()
{
    m_timer.stop();
    const std::uint64_t run = m_run;
    m_keyboard.operations().run(runTick(run), [this, run](OperationStack::Outcome outcome) {
        // A failed tick leaves the timer off: playback stands still until the button is clicked.
        if (outcome == OperationStack::Outcome::Failed && run == m_run && m_mode == Mode::Playing)
            setMode(Mode::Halted);
    });
}

Operation Playback::runTick(std::uint64_t run)
{
    if (m_mode != Mode::Playing || m_inputs.isEmpty())
        co_return;

    int interval = 0;
    QByteArray &input = m_inputs[m_pos];
    if (!input.isEmpty()) {
        interval = StrToInt(m_charInterval);
        // The script's state is settled before anything is sent: the burst runs
        // the event loop, and a click may stop or restart playback meanwhile.
        const PlaybackStep step = takePlaybackStep(input);
        const SendOriginScope origin(m_state.observer, TerminalObserver::SendOrigin::PlaybackStep, m_pos,
                                     step.bytes);
        if (step.kind == PlaybackStep::Kind::Burst)
            co_await m_keyboard.SendKeyString(step.bytes);
        else
            m_keyboard.SendKey(step.bytes.at(0));
    } else {
        ++m_pos;
        if (m_pos >= m_inputs.size()) {
            m_pos = 0;
            interval = StrToInt(m_loopInterval);
            m_inputs = m_sources;
        } else {
            interval = StrToInt(m_fieldInterval);
        }
    }
    if (run != m_run)
        co_return;
    enableTimer(interval);
}

void Playback::enableTimer(int interval)
{
    // A time of 0 (or below) gives the timer no interval: no further ticks.
    if (interval > 0)
        m_timer.start(interval);
}

void Playback::setMode(Mode mode)
{
    const QString before = caption();
    m_mode = mode;
    emit modeChanged(mode);
    if (caption() != before)
        emit captionChanged(caption());
}
