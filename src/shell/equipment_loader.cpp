#include "shell/equipment_loader.h"

#include "engine/cp1252.h"
#include "engine/errors.h"
#include "engine/prompts.h"
#include "engine/terminal_state.h"
#include "link/connection_manager.h"
#include "shell/config_file.h"

#include <algorithm>

LoadedSettings loadStoredSettings(const ConfigFile &config,
                                  const std::function<QString()> &localAddressText)
{
    LoadedSettings loaded;
    loaded.connectionRole = config.readConexao();
    loaded.link.port = fromCp1252(config.readPorta());
    loaded.link.address = fromCp1252(config.readEndereco());

    const int terminator = config.readCofigLeitor();
    loaded.terminatorIndex = terminator < 0 ? -1 : std::min(terminator, 3);
    loaded.barcodeCharDelay = config.readDelai();

    if (loaded.link.address.contains(QStringLiteral("127.0.0."))) {
        loaded.autoStart = config.readInicializacao();
    } else {
        loaded.autoStartLookedUp = true;
        // A file copied from another machine must not start connecting by itself here.
        if (loaded.link.address == localAddressText())
            loaded.autoStart = config.readInicializacao();
    }

    const int protocol = config.readProtocolo();
    loaded.protocolIndex = protocol < 0 ? -1 : std::min(protocol, 2);
    return loaded;
}

quint16 portFromText(const QString &text)
{
    const int port = StrToInt(text);
    if (port < 1 || port > 65535)
        throw AppError(QStringLiteral("A porta '%1' não é válida: use um número de 1 a 65535")
                           .arg(text));
    return static_cast<quint16>(port);
}

bool confirmConnectionSettings(TerminalState &state, ConfigFile &config, ConnectionManager &connections,
                               Prompts &prompts)
{
    return guarded(prompts, [&] {
        if (!state.comutadoraMode && state.protocolKind < 0) {
            showPlainMessage(prompts, QStringLiteral("Selecione o Protocolo de Comunicação!"));
            throw SilentAbort();
        }
        if (!config.writeProtocolo(state.protocolKind))
            throw SilentAbort();
        connections.OpenConnection();
    });
}
