#include "ui/emulator_app.h"

#include "engine/prompts.h"
#include "shell/ini_store.h"
#include "shell/local_address.h"
#include "ui/form2.h"
#include "ui/frm_client.h"
#include "ui/frm_protocolo.h"
#include "ui/frm_serial.h"
#include "ui/key_capture_field.h"
#include "ui/main_window.h"
#include "ui/splash.h"

#include <QAction>
#include <QDesktopServices>
#include <QDir>
#include <QScreen>

namespace {
QString inFolder(const QString &folder, const char *file)
{
    return folder + QDir::separator() + QString::fromLatin1(file);
}
} // namespace

EmulatorApp::Platform EmulatorApp::desktopPlatform()
{
    return {&LocalAddressText, [](const QUrl &url) { return QDesktopServices::openUrl(url); }};
}

EmulatorApp::EmulatorApp(const QString &workingFolder, Prompts &prompts, Platform platform,
                         QObject *parent)
    : QObject(parent), m_folder(workingFolder), m_prompts(prompts),
      m_platform(std::move(platform)), m_outputs(m_state),
      m_connections(m_state, m_display, m_view, m_prompts), m_keyboard(m_state, m_connections),
      m_inputs(m_state, m_keyboard, m_connections),
      m_interpreter(m_state, m_display, m_outputs, m_connections, m_inputs),
      m_barcode(m_state, m_keyboard), m_scale(m_state, m_connections),
      m_playback(m_state, m_keyboard, m_prompts,
                 [folder = m_folder] {
                     // The script is read whole at each start; one parse serves every key.
                     return IniStore(inFolder(folder, "Digitacoes.ini")).snapshot();
                 }),
      m_config(inFolder(m_folder, "Config.ini"), m_prompts),
      m_serial(m_state, m_prompts, inFolder(m_folder, "Config.ini"),
               [this](char c) { m_keyboard.SendKey(c); }),
      m_commands(m_state, m_display, m_view, m_outputs, m_scale, m_connections, m_config,
                 m_prompts)
{
    m_outputs.setEnqResponder(&m_scale);
    m_outputs.setComPort(&m_serial);
    m_connections.setHostDataSink(
        [this](const QByteArray &bytes) { m_interpreter.InterpretHostData(bytes); });
    m_connections.setResetCommand(&m_commands);

    m_context.state = &m_state;
    m_context.display = &m_display;
    m_context.outputs = &m_outputs;
    m_context.interpreter = &m_interpreter;
    m_context.view = &m_view;
    m_context.connections = &m_connections;
    m_context.keyboard = &m_keyboard;
    m_context.inputs = &m_inputs;
    m_context.barcode = &m_barcode;
    m_context.scale = &m_scale;
    m_context.playback = &m_playback;
    m_context.config = &m_config;
    m_context.serial = &m_serial;
    m_context.commands = &m_commands;
    m_context.prompts = &m_prompts;
    m_context.workingFolder = m_folder;

    m_splash = std::make_unique<TSplash>();
    m_frmSerial = std::make_unique<TfrmSerial>(inFolder(m_folder, "Config.ini"), m_prompts);
    connect(m_splash.get(), &TSplash::startUpDue, this, &EmulatorApp::startUp);
    m_splash->show();
}

EmulatorApp::~EmulatorApp()
{
    // The host link must not call back into windows that are going away.
    m_connections.setResetCommand(nullptr);
}

void EmulatorApp::startUp()
{
    if (started())
        return;
    m_splash->Timer1.stop();

    m_form1 = std::make_unique<TForm1>(m_context);
    m_protocolo = std::make_unique<TFrmProtocolo>(m_state, m_connections, m_config, m_stored,
                                                  m_prompts);
    m_client = std::make_unique<TFrmClient>(m_connections, m_config, m_stored, m_prompts);
    m_form2 = std::make_unique<TForm2>(m_context, m_stored, *m_form1, *m_protocolo,
                                       m_platform.localAddressText);
    wireWindows();

    if (m_commands.autoStartChecked()) {
        // Automatic start always emulates the terminal, and the main window
        // comes up even when the connection could not be opened.
        m_protocolo->BtOKClick();
        showAndActivate(m_form1.get());
    } else {
        showAndActivate(m_form2.get());
    }
    m_splash->hide();
    emit startedUp();
}

void EmulatorApp::showAndActivate(QWidget *window)
{
    // Placed once, on the first showing; afterwards the window stays where the user left it.
    if (!window->property("placed").toBool()) {
        window->setProperty("placed", true);
        if (const QScreen *screen = window->screen())
            window->move(screen->availableGeometry().center() - window->rect().center());
    }
    window->show();
    window->raise();
    window->activateWindow();
}

void EmulatorApp::wireWindows()
{
    TForm1 *form1 = m_form1.get();
    TFrmProtocolo *protocolo = m_protocolo.get();
    TFrmClient *client = m_client.get();
    TForm2 *form2 = m_form2.get();

    connect(form1, &TForm1::resetRequested, &m_commands, &MainCommands::btRestClick);
    connect(form1, &TForm1::sairRequested, &m_commands, &MainCommands::BtSairClick);
    connect(form1, &TForm1::configurarRequested, &m_commands, &MainCommands::Equipamento1Click);
    connect(form1, &TForm1::autoStartToggled, &m_commands,
            &MainCommands::InicializaoAutomtica1Click);
    connect(form1, &TForm1::activated, &m_commands, &MainCommands::FormActivate);
    connect(form1, &TForm1::closing, &m_commands, &MainCommands::FormClose);
    connect(form1, &TForm1::explorarRequested, this, &EmulatorApp::Diretrio1Click);
    connect(form1, &TForm1::serialConfigRequested, this, &EmulatorApp::Configurao2Click);
    form1->setAutoStartChecked(m_commands.autoStartChecked());
    connect(&m_commands, &MainCommands::autoStartChanged, form1, &TForm1::setAutoStartChecked);
    connect(&m_commands, &MainCommands::closeMainWindowRequested, form1, [form1] {
        if (form1->isVisible())
            form1->close();
    });
    connect(&m_commands, &MainCommands::chooserRequested, form2,
            [form2] { showAndActivate(form2); });
    connect(&m_commands, &MainCommands::focusToCaptureRequested, form1, [form1] {
        if (form1->isVisible())
            form1->edFoco->setFocus();
    });

    connect(protocolo, &TFrmProtocolo::clientDialogRequested, client,
            [client] { showAndActivate(client); });
    connect(protocolo, &TFrmProtocolo::mainWindowRequested, form1,
            [form1] { showAndActivate(form1); });
    connect(protocolo, &TFrmProtocolo::chooserRequested, form2,
            [form2] { showAndActivate(form2); });
    connect(client, &TFrmClient::accepted, protocolo, &TFrmProtocolo::setClientLabels);
    connect(form2, &TForm2::protocolWindowRequested, protocolo,
            [protocolo] { showAndActivate(protocolo); });
}

void EmulatorApp::Diretrio1Click()
{
    if (m_platform.openFolder(QUrl::fromLocalFile(m_folder)))
        return;
    m_prompts.showMessage(
        kApplicationTitle,
        QStringLiteral("Não foi possível abrir a pasta \"%1\": nenhum gerenciador de arquivos "
                       "está disponível.")
            .arg(QDir::toNativeSeparators(m_folder)),
        Prompts::Icon::Warning);
}

void EmulatorApp::Configurao2Click()
{
    m_frmSerial->exec();
    if (m_form1)
        m_form1->enablePortaCom();
}
