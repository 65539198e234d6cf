#pragma once

#include <QString>

// Every object of the running terminal, built once by Terminal and handed to
// the windows by EmulatorApp. The windows keep no terminal state of their own: they call into
// these objects and mirror them.
struct TerminalState;
class DisplayModel;
class Outputs;
class HostInterpreter;
class MainViewState;
class ConnectionManager;
class Keyboard;
class DigitalInputs;
class BarcodeReader;
class Scale;
class Playback;
class ConfigFile;
class SerialBridge;
class MainCommands;
class Prompts;
class OperatorActions;
class Terminal;

struct AppContext {
    TerminalState *state = nullptr;
    DisplayModel *display = nullptr;
    Outputs *outputs = nullptr;
    HostInterpreter *interpreter = nullptr;
    MainViewState *view = nullptr;
    ConnectionManager *connections = nullptr;
    Keyboard *keyboard = nullptr;
    DigitalInputs *inputs = nullptr;
    BarcodeReader *barcode = nullptr;
    Scale *scale = nullptr;
    Playback *playback = nullptr;
    ConfigFile *config = nullptr;
    SerialBridge *serial = nullptr;
    MainCommands *commands = nullptr;
    Prompts *prompts = nullptr;
    OperatorActions *actions = nullptr;
    // The whole terminal; absent where a window is tried on loose objects.
    Terminal *terminal = nullptr;
    // The process's working folder: "Config.ini" and the other files live here.
    QString workingFolder;
};
