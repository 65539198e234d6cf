#pragma once

#include "terminal/terminal.h"
#include "ui/app_context.h"

#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

class TSplash;
class TfrmSerial;
class TForm1;
class TFrmProtocolo;
class TFrmClient;
class TForm2;
class Prompts;

// The windowed emulator of one run: a Terminal for the working folder and the
// windows on it. It fills the AppContext the windows work with. The splash and
// the serial settings dialog exist from the start; when the splash's timer
// fires, the main window, the settings window, the client dialog and the
// chooser are created in that order (the chooser loads "Config.ini" and sets
// the others up), and the run goes either straight to a connected main window
// (automatic start) or to the chooser. From then on the windows' signals drive
// the flow between them; nothing is ever re-created.
class EmulatorApp : public QObject {
    Q_OBJECT
public:
    struct Platform {
        // This machine's address text for the automatic-start check.
        std::function<QString()> localAddressText;
        // Opens a folder in the desktop's file manager; false when none could be started.
        std::function<bool(const QUrl &)> openFolder;
    };
    static Platform desktopPlatform();

    EmulatorApp(const QString &workingFolder, Prompts &prompts,
                Platform platform = desktopPlatform(), QObject *parent = nullptr);
    ~EmulatorApp() override;

    // The splash timer's step: create the four windows, then automatic start
    // or the chooser, then hide the splash. Runs once.
    void startUp();
    bool started() const { return m_form2 != nullptr; }

    // "Explorar".
    void Diretrio1Click();
    // "Configuração" of the serial menu: the dialog runs modally.
    void Configurao2Click();

    Terminal &terminal() { return m_terminal; }
    AppContext &context() { return m_context; }
    StoredLink &storedLink() { return m_terminal.storedLink(); }
    TerminalState &state() { return m_terminal.state(); }
    ConnectionManager &connections() { return m_terminal.connections(); }
    MainCommands &commands() { return m_terminal.commands(); }
    DisplayModel &display() { return m_terminal.display(); }
    MainViewState &view() { return m_terminal.view(); }
    ConfigFile &config() { return m_terminal.config(); }

    TSplash &splash() { return *m_splash; }
    TfrmSerial &frmSerial() { return *m_frmSerial; }
    TForm1 *form1() const { return m_form1.get(); }
    TFrmProtocolo *protocolo() const { return m_protocolo.get(); }
    TFrmClient *client() const { return m_client.get(); }
    TForm2 *form2() const { return m_form2.get(); }

signals:
    void startedUp();

private:
    void wireWindows();
    static void showAndActivate(QWidget *window);

    Platform m_platform;
    Terminal m_terminal;
    AppContext m_context;

    std::unique_ptr<TSplash> m_splash;
    std::unique_ptr<TfrmSerial> m_frmSerial;
    std::unique_ptr<TForm1> m_form1;
    std::unique_ptr<TFrmProtocolo> m_protocolo;
    std::unique_ptr<TFrmClient> m_client;
    std::unique_ptr<TForm2> m_form2;
};
