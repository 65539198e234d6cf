#include "shell/main_commands.h"

#include "engine/display_model.h"
#include "engine/main_view_state.h"
#include "engine/outputs.h"
#include "engine/prompts.h"
#include "engine/terminal_state.h"
#include "inputs/scale.h"
#include "shell/config_file.h"


namespace {
const QByteArray kFinishing = QByteArrayLiteral("Finalizando....");
const QByteArray kConnecting = QByteArrayLiteral("Conectando....");
}

MainCommands::MainCommands(TerminalState &state, DisplayModel &display, MainViewState &view,
                           Outputs &outputs, Scale &scale, ConnectionManager &connections,
                           ConfigFile &config, Prompts &prompts, OperationStack &operations, QObject *parent)
    : QObject(parent), m_state(state), m_display(display), m_view(view), m_outputs(outputs),
      m_scale(scale), m_connections(connections), m_config(config), m_prompts(prompts), m_operations(operations)
{
    m_tmAtraso.setInterval(kTickMilliseconds);
    connect(&m_tmAtraso, &QTimer::timeout, this, &MainCommands::tmAtrasoTimer);
}

void MainCommands::tmAtrasoTimer()
{
    ++m_ticks;
    m_operations.poke();
}

Operation MainCommands::WaitTicks(int n)
{
    m_ticks = 0;
    m_tmAtraso.start();
    // Events of every kind run during the wait, another reset among them,
    // which restarts the count: both waits then end with the later one.
    auto counted = m_operations.until([this, n] { return m_ticks >= n; });
    co_await counted;
    m_tmAtraso.stop();
}

void MainCommands::btRestClick(OperationStack::Done done)
{
    m_operations.run(resetTerminal(), std::move(done));
}

void MainCommands::runResetTerminal()
{
    btRestClick();
}

Operation MainCommands::resetTerminal()
{
    m_display.ClearDisplay();
    m_display.showStatusText(1, kFinishing);
    co_await WaitTicks(kResetTicks);
    m_view.setConnectionButtonsEnabled(false);
    m_outputs.clearLogs();
    m_state.functionKeyMode = false;
    emit focusToCaptureRequested();
    m_display.ClearDisplay();

    switch (m_state.connectionRole) {
    case TerminalState::kServer:
        m_connections.closeServer();
        m_display.showStatusText(1, kConnecting);
        co_await WaitTicks(kResetTicks);
        m_connections.openServer();
        break;
    case TerminalState::kClient:
        if (m_connections.isClientActive()) {
            m_connections.closeClient();
            m_display.showStatusText(1, kConnecting);
            co_await WaitTicks(kResetTicks);
        }
        m_connections.openClient();
        break;
    default:
        break;
    }
}

void MainCommands::BtSairClick()
{
    guarded(m_prompts, [this] {
        m_state.mainWindowClosing = true;
        switch (m_state.connectionRole) {
        case TerminalState::kServer:
            m_connections.closeServer();
            break;
        case TerminalState::kClient:
            m_connections.disconnectClient();
            m_connections.closeClient();
            break;
        default:
            break;
        }
        if (m_autoStart)
            m_prompts.requestTerminate();
        else
            emit closeMainWindowRequested();
    });
}

void MainCommands::FormClose()
{
    guarded(m_prompts, [this] {
        m_state.mainWindowClosing = true;
        m_display.ClearDisplay();
        m_view.setConnectionButtonsEnabled(false);
        m_outputs.clearLogs();
        m_state.functionKeyMode = false;
        m_scale.clearReadings();
        if (m_connections.isTelNetActive())
            m_connections.closeTelNet();
        if (m_connections.isServerActive())
            m_connections.closeServer();
        if (m_connections.isClientActive())
            m_connections.closeClient();
    });
    // The way back to the chooser stays open even when closing a socket failed.
    emit chooserRequested();
}

void MainCommands::FormActivate()
{
    m_state.mainWindowClosing = false;
    emit focusToCaptureRequested();
}

void MainCommands::Equipamento1Click()
{
    guarded(m_prompts, [this] {
        if (m_state.connectionRole == TerminalState::kServer)
            m_connections.closeServer();
        else if (m_state.connectionRole == TerminalState::kClient)
            m_connections.closeClient();
    });
    emit closeMainWindowRequested();
    emit chooserRequested();
}

void MainCommands::setAutoStartChecked(bool checked)
{
    if (m_autoStart == checked)
        return;
    m_autoStart = checked;
    emit autoStartChanged(checked);
}

void MainCommands::InicializaoAutomtica1Click()
{
    setAutoStartChecked(!m_autoStart);
    // A failed write has shown its message and asked the application to end.
    m_config.writeInicializacao(m_autoStart);
}
