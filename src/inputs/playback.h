#pragma once

#include "engine/ports.h"
#include "engine/prompts.h"
#include "engine/terminal_state.h"
#include "inputs/keyboard.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>

// Keystroke playback of "Digitacoes.ini".
//
// Starting (BtCarregaClick while idle) reads the three times and the inputs of
// the script through a freshly opened profile reader. Each tick of TSimula then
// types one character of the current input through the keyboard's SendKey, or
// the rest of it at once through SendKeyString when a burst marker comes to the
// front; an end marker at the back becomes CR. An emptied input moves on to the
// next after the field time, and after the last input every input is restored
// and the script starts again after the loop time. A tick is one of the
// terminal's operations; the timer is off for the whole of it, so a tick whose
// burst still waits between characters cannot start a second one. A time that
// is not a number halts playback with an error report.
class Playback : public QObject {
    Q_OBJECT
public:
    using ReaderFactory = std::function<std::unique_ptr<ProfileReader>()>;
    enum class Mode { Idle, Playing, Halted };

    // More inputs than this are refused before any memory is taken for them.
    static constexpr int kMaxInputs = 10000;

    Playback(TerminalState &state, Keyboard &keyboard, Prompts &prompts, ReaderFactory openScript,
             QObject *parent = nullptr);

    void BtCarregaClick();
    // "Carrega Arquivo" while idle, "Descarrega Arquivo" while playing or halted.
    QString caption() const;
    Mode mode() const { return m_mode; }
    bool timerActive() const { return m_timer.isActive(); }

    const QList<QByteArray> &ScriptInputs() const { return m_inputs; }
    const QList<QByteArray> &ScriptSource() const { return m_sources; }
    int ScriptPos() const { return m_pos; }

signals:
    void captionChanged(const QString &caption);
    void modeChanged(Playback::Mode mode);

private slots:
    void TSimulaTimer();

private:
    void start();
    void stop();
    Operation runTick(std::uint64_t run);
    void enableTimer(int interval);
    void setMode(Mode mode);

    TerminalState &m_state;
    Keyboard &m_keyboard;
    Prompts &m_prompts;
    ReaderFactory m_openScript;
    QTimer m_timer;
    Mode m_mode = Mode::Idle;
    // Changes on every start and stop, so a tick whose sends outlived its run
    // (a click during a burst) leaves the new state alone.
    std::uint64_t m_run = 0;

    QByteArray m_charInterval;
    QByteArray m_fieldInterval;
    QByteArray m_loopInterval;
    QList<QByteArray> m_inputs;
    QList<QByteArray> m_sources;
    int m_pos = 0;
};
