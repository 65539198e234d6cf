#pragma once

#include "engine/display_model.h"
#include "engine/host_interpreter.h"
#include "engine/main_view_state.h"
#include "engine/operations.h"
#include "engine/outputs.h"
#include "engine/prompts.h"
#include "engine/terminal_observer.h"
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
#include "terminal/fault_injector.h"
#include "terminal/operator_actions.h"

#include <QObject>
#include <QString>

#include <functional>
#include <vector>

// The main view's creation step on loose terminal objects: the code list and
// scale texts loaded from the working folder ("Codigo.txt", "Balanca.txt"
// when present); display, printer line, inputs and code index reset.
void prepareMainView(const QString &workingFolder, BarcodeReader &barcode, Scale &scale, DisplayModel &display,
                     Outputs &outputs, DigitalInputs &inputs);

// One whole terminal for one working folder: it builds every terminal object in
// the order their references need, ties the host link to the interpreter and the
// reset command, and offers the steps a front end drives as plain operations:
// the chooser's loading of "Config.ini", the choice of equipment, the settings
// window's OK, and each operator action (a key, an input box, "Busy", the
// barcode button, the scale, "Reset Terminal", playback, through
// OperatorActions). The windows, the
// control interface and the headless run are front ends on it; none of them owns
// terminal state. Every message for the user goes through the prompts given at
// construction, and is reported to the observers first.
//
// What the terminal does is reported to the observers added with addObserver,
// in order. Two terminals share nothing.
class Terminal : public QObject {
    Q_OBJECT
public:
    using AddressSource = std::function<QString()>;

    Terminal(const QString &workingFolder, Prompts &prompts, AddressSource localAddressText,
             QObject *parent = nullptr);
    ~Terminal() override;

    const QString &workingFolder() const { return m_folder; }
    QString filePath(const char *name) const;

    // The main window's creation step: code list and scale texts loaded from
    // the working folder; display, outputs, inputs and code index reset.
    void prepareMainView();
    // The chooser's loading step: first-start defaults written when "Config.ini"
    // is absent, then every stored setting applied to the terminal objects.
    // Returns what was loaded, for a window to show.
    LoadedSettings load();
    // "Terminal TCP-IP" or "Comutadora TCP-IP".
    void chooseEquipment(bool comutadora);
    // The protocol the settings window selects when it becomes active, given
    // the item it shows: the Comutadora speaks only Zorvane, and a window with
    // no VT100 or Telnet choice falls back to Zorvane.
    static int protocolOnSettingsActivation(bool comutadora, int shownProtocol);
    // The settings window's OK: stores the protocol and opens the connection of
    // the role. False when it refused or failed (the user has been told).
    bool confirmSettings();
    // A run with no window: prepare the main view, load, choose the equipment,
    // activate the settings and confirm them, whatever automatic start holds.
    bool startWithoutWindows(bool comutadora);

    void addObserver(TerminalObserver *observer);
    void removeObserver(TerminalObserver *observer);
    // The fan-out to every observer added, or nullptr while there is none:
    // front ends report through it what only they see (a menu command, an
    // injected fault), in order with everything else.
    TerminalObserver *observer() { return m_fanOut.observers.empty() ? nullptr : &m_fanOut; }

    Prompts &prompts() { return m_observedPrompts; }
    TerminalState &state() { return m_state; }
    DisplayModel &display() { return m_display; }
    MainViewState &view() { return m_view; }
    Outputs &outputs() { return m_outputs; }
    ConnectionManager &connections() { return m_connections; }
    Keyboard &keyboard() { return m_keyboard; }
    DigitalInputs &inputs() { return m_inputs; }
    HostInterpreter &interpreter() { return m_interpreter; }
    BarcodeReader &barcode() { return m_barcode; }
    Scale &scale() { return m_scale; }
    Playback &playback() { return m_playback; }
    ConfigFile &config() { return m_config; }
    SerialBridge &serial() { return m_serial; }
    MainCommands &commands() { return m_commands; }
    StoredLink &storedLink() { return m_stored; }
    OperatorActions &actions() { return m_actions; }
    FaultInjector &faults() { return m_faults; }
    // The terminal's running operations (a barcode, a function key, "Reset
    // Terminal"); endAll() ends them, as removing the terminal does.
    OperationStack &operations() { return m_operations; }
    // Whether the last loading step needed this machine's address list.
    bool localAddressLookedUp() const { return m_lookedUp; }

private:
    // Forwards every event to each observer that was added.
    class FanOut : public TerminalObserver {
    public:
        std::vector<TerminalObserver *> observers;
        void hostDataReceived(const QByteArray &bytes) override;
        void hostDataSent(const QByteArray &bytes) override;
        void linkChanged(LinkEvent event, const QString &peer, const QString &detail) override;
        void displayChanged() override;
        void ledsChanged() override;
        void printerChanged() override;
        void serialChanged() override;
        void messageShown(const QString &caption, const QString &text) override;
        void operatorChanged() override;
        void faultFired(int id, const QString &kind, const QString &what) override;
        void hostReadFrom(const QString &peer) override;
        void hostSendTo(const QString &peer) override;
        void identPortEvent(const QString &what, const QString &peer) override;
        void comutadoraFiltered(const QByteArray &read, const QByteArray &kept) override;
        void telnetCommand(const QByteArray &command, const QList<QByteArray> &answers) override;
        void telnetSubnegotiationOpen(const QByteArray &collected) override;
        void hostCommandStarts(const HostDelivery &delivery, const HostCommand &command) override;
        void sendStarts(SendOrigin origin, int detail, const QByteArray &data) override;
        void sendEnds() override;
        void operatorAction(const QString &what) override;
        void note(const QString &kind, const QString &text) override;
    };
    // The prompts every terminal object uses: each message is reported, then shown.
    class ObservedPrompts : public Prompts {
    public:
        ObservedPrompts(Prompts &inner, Terminal &terminal) : m_inner(inner), m_terminal(terminal) {}
        void showMessage(const QString &caption, const QString &text, Icon icon) override;
        std::optional<QString> inputBox(const QString &caption, const QString &prompt,
                                        const QString &value) override;
        void requestTerminate() override;

    private:
        Prompts &m_inner;
        Terminal &m_terminal;
    };

    void observersChanged();

    QString m_folder;
    AddressSource m_localAddressText;
    FanOut m_fanOut;
    ObservedPrompts m_observedPrompts;
    bool m_lookedUp = false;

    TerminalState m_state;
    OperationStack m_operations;
    DisplayModel m_display;
    MainViewState m_view;
    Outputs m_outputs;
    ConnectionManager m_connections;
    // Between the terminal's objects and the host link: every send, read and
    // ENQ passes here, straight through while no fault is in force.
    FaultInjector m_faults;
    FaultInjector::Sender m_keySender;
    FaultInjector::Sender m_replySender;
    FaultInjector::Sender m_scaleSender;
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
    OperatorActions m_actions;
};
