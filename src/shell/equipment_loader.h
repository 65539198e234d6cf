#pragma once

#include <QString>

#include <functional>

class ConfigFile;
class ConnectionManager;
class Prompts;
struct TerminalState;

// The host address and port as stored in "Config.ini", kept in memory for the
// whole run. The chooser loads them once; the Server port prompt and the client
// dialog replace them when the user stores a new value.
struct StoredLink {
    QString port = QStringLiteral("1001");
    QString address = QStringLiteral("127.0.0.1");
};

// What the chooser's loading step takes from "Config.ini", already brought into
// the range of the controls it goes to.
struct LoadedSettings {
    int connectionRole = 1;
    StoredLink link;
    int terminatorIndex = 1; // -1 leaves no terminator chosen
    int barcodeCharDelay = 10;
    bool autoStart = false;
    bool autoStartLookedUp = false; // the local address had to be resolved
    int protocolIndex = 0;          // -1 leaves no protocol chosen
    bool portApplied = false;       // the stored port was usable and given to the link
};

// Reads the stored settings in the order the chooser needs them. Automatic
// start is honoured only for a loopback address, or for an address equal to
// this machine's address text, which localAddressText is asked for only then.
LoadedSettings loadStoredSettings(const ConfigFile &config,
                                  const std::function<QString()> &localAddressText);

// The settings window's OK: refuses without a protocol (unless the Comutadora,
// which speaks Zorvane), stores the protocol and opens the connection of the
// role. Returns false when it refused or failed; the user has been told.
bool confirmConnectionSettings(TerminalState &state, ConfigFile &config, ConnectionManager &connections,
                               Prompts &prompts);

// A TCP port typed by the user or stored in the file. Text that is not a
// decimal integer throws ConversionError; a number outside 1..65535 throws
// AppError instead of wrapping round to some other port.
quint16 portFromText(const QString &text);
