#pragma once

#include "engine/operations.h"
#include "link/connection_manager.h"

#include <QObject>
#include <QTimer>

struct TerminalState;
class DisplayModel;
class MainViewState;
class Outputs;
class Scale;
class ConfigFile;
class Prompts;

// The main window's own commands: "Reset Terminal", "Sair", leaving the main
// window, "Configurar Emulador" and the "Inicialização Automática" switch.
// They act on the terminal objects (display, outputs, scale, connections) and
// tell the windows what to do through signals: the main window hides on
// closeMainWindowRequested (and reports back through FormClose), the chooser
// appears on chooserRequested. The host link runs the reset through
// ResetCommand after a lost client connection. Every public command is an
// event-loop entry point and reports its own errors through the prompts.
// "Reset Terminal" waits twice, counting ticks of tmAtraso; it is one of the
// terminal's operations, so the event loop goes on meanwhile without nesting.
class MainCommands : public QObject, public ResetCommand {
    Q_OBJECT
public:
    static constexpr int kTickMilliseconds = 100;
    static constexpr int kResetTicks = 4;

    MainCommands(TerminalState &state, DisplayModel &display, MainViewState &view,
                 Outputs &outputs, Scale &scale, ConnectionManager &connections,
                 ConfigFile &config, Prompts &prompts, OperationStack &operations, QObject *parent = nullptr);

    // "Reset Terminal" (btRest), also run by the host link after a lost client
    // connection. done, when given, hears when its steps are over.
    void btRestClick(OperationStack::Done done = {});
    void runResetTerminal() override;

    // "Sair".
    void BtSairClick();
    // The main window is closing (it is hidden, never destroyed).
    void FormClose();
    // The main window became the active window.
    void FormActivate();
    // "Configurar Emulador".
    void Equipamento1Click();
    // "Inicialização Automática": toggles the check mark and stores it at once.
    void InicializaoAutomtica1Click();

    bool autoStartChecked() const { return m_autoStart; }
    // Set at start-up from the stored value; nothing is written.
    void setAutoStartChecked(bool checked);

    // Waits for n ticks of tmAtraso while the event loop keeps running. A wait
    // started inside another restarts the shared count and both end together.
    Operation WaitTicks(int n);
    int tickCount() const { return m_ticks; }

signals:
    void closeMainWindowRequested();
    void chooserRequested();
    void focusToCaptureRequested();
    void autoStartChanged(bool checked);

private:
    void tmAtrasoTimer();
    Operation resetTerminal();

    TerminalState &m_state;
    DisplayModel &m_display;
    MainViewState &m_view;
    Outputs &m_outputs;
    Scale &m_scale;
    ConnectionManager &m_connections;
    ConfigFile &m_config;
    Prompts &m_prompts;
    OperationStack &m_operations;
    QTimer m_tmAtraso;
    int m_ticks = 0;
    bool m_autoStart = false;
};
