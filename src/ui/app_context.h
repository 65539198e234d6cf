#pragma once

#include <QString>

// Every object of the running emulator, built once by EmulatorApp and handed to
// the windows. The windows keep no terminal state of their own: they call into
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
    // The process's working folder: "Config.ini" and the other files live here.
    QString workingFolder;
};
