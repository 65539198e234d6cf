#pragma once

#include "engine/display_model.h"
#include "engine/host_interpreter.h"
#include "engine/main_view_state.h"
#include "engine/outputs.h"
#include "engine/terminal_state.h"
#include "inputs/barcode_reader.h"
#include "inputs/digital_inputs.h"
#include "inputs/keyboard.h"
#include "inputs/playback.h"
#include "inputs/scale.h"
#include "link/connection_manager.h"
#include "shell/config_file.h"
#include "shell/equipment_loader.h"
#include "shell/main_commands.h"
#include "shell/serial_bridge.h"
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

// The whole emulator of one run. It builds every terminal object once, in the
// order their references need, ties the host link to the interpreter and the
// reset command, and fills the AppContext the windows work with. The splash and
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

    AppContext &context() { return m_context; }
    StoredLink &storedLink() { return m_stored; }
    TerminalState &state() { return m_state; }
    ConnectionManager &connections() { return m_connections; }
    MainCommands &commands() { return m_commands; }
    DisplayModel &display() { return m_display; }
    MainViewState &view() { return m_view; }
    ConfigFile &config() { return m_config; }

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

    QString m_folder;
    Prompts &m_prompts;
    Platform m_platform;

    TerminalState m_state;
    DisplayModel m_display;
    MainViewState m_view;
    Outputs m_outputs;
    ConnectionManager m_connections;
    Keyboard m_keyboard;
    DigitalInputs m_inputs;
    HostInterpreter m_interpreter;
    BarcodeReader m_barcode;
    Scale m_scale;
    Playback m_playback;
    ConfigFile m_config;
    SerialBridge m_serial;
    MainCommands m_commands;
    StoredLink m_stored;
    AppContext m_context;

    std::unique_ptr<TSplash> m_splash;
    std::unique_ptr<TfrmSerial> m_frmSerial;
    std::unique_ptr<TForm1> m_form1;
    std::unique_ptr<TFrmProtocolo> m_protocolo;
    std::unique_ptr<TFrmClient> m_client;
    std::unique_ptr<TForm2> m_form2;
};
