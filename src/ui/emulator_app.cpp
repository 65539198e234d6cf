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

EmulatorApp::Platform EmulatorApp::desktopPlatform()
{
    return {&LocalAddressText, [](const QUrl &url) { return QDesktopServices::openUrl(url); }};
}

EmulatorApp::EmulatorApp(const QString &workingFolder, Prompts &prompts, Platform platform,
                         QObject *parent)
    : QObject(parent), m_platform(std::move(platform)),
      m_terminal(workingFolder, prompts, m_platform.localAddressText)
{
    Terminal &t = m_terminal;
    m_context.state = &t.state();
    m_context.display = &t.display();
    m_context.outputs = &t.outputs();
    m_context.interpreter = &t.interpreter();
    m_context.view = &t.view();
    m_context.connections = &t.connections();
    m_context.keyboard = &t.keyboard();
    m_context.inputs = &t.inputs();
    m_context.barcode = &t.barcode();
    m_context.scale = &t.scale();
    m_context.playback = &t.playback();
    m_context.config = &t.config();
    m_context.serial = &t.serial();
    m_context.commands = &t.commands();
    m_context.prompts = &t.prompts();
    m_context.actions = &t.actions();
    m_context.terminal = &t;
    m_context.workingFolder = workingFolder;

    m_splash = std::make_unique<TSplash>();
    m_frmSerial = std::make_unique<TfrmSerial>(m_terminal.filePath("Config.ini"), m_terminal.prompts());
    connect(m_splash.get(), &TSplash::startUpDue, this, &EmulatorApp::startUp);
    m_splash->show();
}

EmulatorApp::~EmulatorApp()
{
    // The host link must not call back into windows that are going away.
    m_terminal.connections().setResetCommand(nullptr);
}

void EmulatorApp::startUp()
{
    if (started())
        return;
    m_splash->Timer1.stop();

    m_form1 = std::make_unique<TForm1>(m_context);
    m_protocolo = std::make_unique<TFrmProtocolo>(state(), connections(), config(), storedLink(),
                                                  m_terminal.prompts());
    m_client = std::make_unique<TFrmClient>(connections(), config(), storedLink(), m_terminal.prompts());
    m_form2 = std::make_unique<TForm2>(m_context, *m_form1, *m_protocolo);
    wireWindows();

    if (commands().autoStartChecked()) {
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

    connect(form1, &TForm1::resetRequested, &commands(), [this] { commands().btRestClick(); });
    connect(form1, &TForm1::sairRequested, &commands(), &MainCommands::BtSairClick);
    connect(form1, &TForm1::configurarRequested, &commands(), &MainCommands::Equipamento1Click);
    connect(form1, &TForm1::autoStartToggled, &commands(),
            &MainCommands::InicializaoAutomtica1Click);
    connect(form1, &TForm1::activated, &commands(), &MainCommands::FormActivate);
    connect(form1, &TForm1::closing, &commands(), &MainCommands::FormClose);
    connect(form1, &TForm1::explorarRequested, this, &EmulatorApp::Diretrio1Click);
    connect(form1, &TForm1::serialConfigRequested, this, &EmulatorApp::Configurao2Click);
    form1->setAutoStartChecked(commands().autoStartChecked());
    connect(&commands(), &MainCommands::autoStartChanged, form1, &TForm1::setAutoStartChecked);
    connect(&commands(), &MainCommands::closeMainWindowRequested, form1, [form1] {
        if (form1->isVisible())
            form1->close();
    });
    connect(&commands(), &MainCommands::chooserRequested, form2,
            [form2] { showAndActivate(form2); });
    connect(&commands(), &MainCommands::focusToCaptureRequested, form1, [form1] {
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
    const QString folder = m_terminal.workingFolder();
    if (m_platform.openFolder(QUrl::fromLocalFile(folder)))
        return;
    m_terminal.prompts().showMessage(
        kApplicationTitle,
        QStringLiteral("Não foi possível abrir a pasta \"%1\": nenhum gerenciador de arquivos "
                       "está disponível.")
            .arg(QDir::toNativeSeparators(folder)),
        Prompts::Icon::Warning);
}

void EmulatorApp::Configurao2Click()
{
    m_frmSerial->exec();
    if (m_form1)
        m_form1->enablePortaCom();
}
