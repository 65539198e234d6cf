#include "terminal/terminal.h"

#include "shell/ini_store.h"

#include <QDir>

#include <algorithm>

Terminal::Terminal(const QString &workingFolder, Prompts &prompts, AddressSource localAddressText,
                   QObject *parent)
    : QObject(parent), m_folder(workingFolder), m_localAddressText(std::move(localAddressText)),
      m_observedPrompts(prompts, *this), m_operations(m_observedPrompts), m_outputs(m_state),
      m_connections(m_state, m_display, m_view, m_observedPrompts),
      // The scale is built further down; the fault layer only keeps the reference until an ENQ comes.
      m_faults(m_connections, m_state, m_scale), m_keySender(m_faults, SendClass::Key),
      m_replySender(m_faults, SendClass::Reply), m_scaleSender(m_faults, SendClass::Scale),
      m_keyboard(m_state, m_keySender, m_operations), m_inputs(m_state, m_keyboard, m_replySender),
      m_interpreter(m_state, m_display, m_outputs, m_replySender, m_inputs), m_barcode(m_state, m_keyboard),
      m_scale(m_state, m_scaleSender),
      m_playback(m_state, m_keyboard, m_observedPrompts,
                 [path = filePath("Digitacoes.ini")] {
                     // The script is read whole at each start; one parse serves every key.
                     return IniStore(path).snapshot();
                 }),
      m_config(filePath("Config.ini"), m_observedPrompts),
      m_serial(m_state, m_observedPrompts, filePath("Config.ini"),
               [this](char c) {
                   const SendOriginScope origin(m_state.observer, TerminalObserver::SendOrigin::ComPort, 0,
                                                m_state.observer ? QByteArray(1, c) : QByteArray());
                   m_keyboard.SendKey(c);
               }),
      m_commands(m_state, m_display, m_view, m_outputs, m_scale, m_connections, m_config,
                 m_observedPrompts, m_operations),
      m_actions({&m_state, &m_keyboard, &m_inputs, &m_barcode, &m_scale, &m_playback, &m_commands,
                 &m_observedPrompts})
{
    m_outputs.setEnqResponder(&m_faults);
    m_faults.setActions(&m_actions);
    m_faults.setObserver([this] { return observer(); });
    m_outputs.setComPort(&m_serial);
    m_connections.setHostDataSink([this](const QByteArray &bytes) { m_interpreter.InterpretHostData(bytes); });
    m_connections.setResetCommand(&m_commands);

    // Changes the objects announce as signals go into the one stream.
    const auto forward = [this](auto *sender, auto signal, void (TerminalObserver::*event)()) {
        connect(sender, signal, this, [this, event] {
            if (TerminalObserver *o = observer())
                (o->*event)();
        });
    };
    forward(&m_display, &DisplayModel::viewChanged, &TerminalObserver::displayChanged);
    forward(&m_outputs, &Outputs::ledsChanged, &TerminalObserver::ledsChanged);
    forward(&m_outputs, &Outputs::parallelChanged, &TerminalObserver::printerChanged);
    forward(&m_outputs, &Outputs::serialChanged, &TerminalObserver::serialChanged);
    forward(&m_actions, &OperatorActions::changed, &TerminalObserver::operatorChanged);
}

Terminal::~Terminal()
{
    // Operations waiting between their steps end first: they still refer to
    // the terminal's objects, and whoever waits for them hears that they ended.
    m_operations.endAll();
    m_state.observer = nullptr;
    m_connections.setObserver(nullptr);
    m_fanOut.observers.clear();
    // The host link must not run a reset while the terminal is going away.
    m_connections.setResetCommand(nullptr);
}

QString Terminal::filePath(const char *name) const
{
    return m_folder + QDir::separator() + QString::fromLatin1(name);
}

void prepareMainView(const QString &workingFolder, BarcodeReader &barcode, Scale &scale, DisplayModel &display,
                     Outputs &outputs, DigitalInputs &inputs)
{
    const QDir folder(workingFolder);
    barcode.loadCodes(folder.filePath(QStringLiteral("Codigo.txt")));
    scale.loadItems(folder.filePath(QStringLiteral("Balanca.txt")));
    display.reset();
    outputs.resetForNewWindow();
    inputs.resetForNewWindow();
    barcode.resetForNewWindow();
}

void Terminal::prepareMainView()
{
    ::prepareMainView(m_folder, m_barcode, m_scale, m_display, m_outputs, m_inputs);
}

LoadedSettings Terminal::load()
{
    // A failed first-start write has shown its message and asked the
    // application to end; loading goes on so that start-up completes.
    if (!m_config.exists())
        m_config.writeFirstStartDefaults();

    LoadedSettings loaded = loadStoredSettings(m_config, m_localAddressText);
    m_lookedUp = loaded.autoStartLookedUp;
    m_state.connectionRole = loaded.connectionRole;
    m_stored = loaded.link;
    m_connections.setStoredPortAndAddress(m_stored.port, m_stored.address);

    const bool server = m_state.connectionRole == TerminalState::kServer;
    m_view.setStatusPanels(QStringLiteral("Porta: ") + m_stored.port,
                           server ? QString() : QStringLiteral("IP Remoto: ") + m_stored.address);
    m_barcode.setTerminatorIndex(loaded.terminatorIndex);
    m_state.barcodeCharDelay = loaded.barcodeCharDelay;
    m_commands.setAutoStartChecked(loaded.autoStart);
    m_state.protocolKind = loaded.protocolIndex;

    // A stored port that is not a usable number is reported; loading ends
    // normally and the connection keeps its previous port.
    loaded.portApplied = guarded(m_observedPrompts, [&] {
        if (server) {
            m_connections.setServerPort(portFromText(m_stored.port));
        } else {
            m_connections.setClientAddress(m_stored.address);
            m_connections.setClientPort(portFromText(m_stored.port));
        }
    });
    return loaded;
}

void Terminal::chooseEquipment(bool comutadora)
{
    m_state.comutadoraMode = comutadora;
}

int Terminal::protocolOnSettingsActivation(bool comutadora, int shownProtocol)
{
    if (comutadora)
        return TerminalState::kZorvane;
    if (shownProtocol == TerminalState::kTelnet || shownProtocol == TerminalState::kVt100)
        return shownProtocol;
    return TerminalState::kZorvane;
}

bool Terminal::confirmSettings()
{
    return confirmConnectionSettings(m_state, m_config, m_connections, m_observedPrompts);
}

bool Terminal::startWithoutWindows(bool comutadora)
{
    prepareMainView();
    load();
    chooseEquipment(comutadora);
    m_state.protocolKind = protocolOnSettingsActivation(comutadora, m_state.protocolKind);
    return confirmSettings();
}

void Terminal::addObserver(TerminalObserver *observer)
{
    auto &list = m_fanOut.observers;
    if (observer && std::find(list.begin(), list.end(), observer) == list.end())
        list.push_back(observer);
    observersChanged();
}

void Terminal::removeObserver(TerminalObserver *observer)
{
    auto &list = m_fanOut.observers;
    list.erase(std::remove(list.begin(), list.end(), observer), list.end());
    observersChanged();
}

void Terminal::observersChanged()
{
    m_state.observer = observer();
    m_connections.setObserver(observer());
}

// ---- Fan-out ----
// An observer may remove itself (or another) while an event is handed out, so
// with several observers each event walks a copy of the list. The usual single
// observer is called directly: the trace sees an event per host command, and a
// copy of the list for each would cost more than the call.

#define TERMINAL_FAN_OUT(call)                                                                     \
    if (observers.size() == 1) {                                                                   \
        observers.front()->call;                                                                   \
        return;                                                                                    \
    }                                                                                              \
    for (TerminalObserver *o : std::vector<TerminalObserver *>(observers))                         \
        o->call;

void Terminal::FanOut::hostDataReceived(const QByteArray &bytes)
{
    TERMINAL_FAN_OUT(hostDataReceived(bytes))
}

void Terminal::FanOut::hostDataSent(const QByteArray &bytes)
{
    TERMINAL_FAN_OUT(hostDataSent(bytes))
}

void Terminal::FanOut::linkChanged(LinkEvent event, const QString &peer, const QString &detail)
{
    TERMINAL_FAN_OUT(linkChanged(event, peer, detail))
}

void Terminal::FanOut::displayChanged()
{
    TERMINAL_FAN_OUT(displayChanged())
}

void Terminal::FanOut::ledsChanged()
{
    TERMINAL_FAN_OUT(ledsChanged())
}

void Terminal::FanOut::printerChanged()
{
    TERMINAL_FAN_OUT(printerChanged())
}

void Terminal::FanOut::serialChanged()
{
    TERMINAL_FAN_OUT(serialChanged())
}

void Terminal::FanOut::messageShown(const QString &caption, const QString &text)
{
    TERMINAL_FAN_OUT(messageShown(caption, text))
}

void Terminal::FanOut::operatorChanged()
{
    TERMINAL_FAN_OUT(operatorChanged())
}

void Terminal::FanOut::faultFired(int id, const QString &kind, const QString &what)
{
    TERMINAL_FAN_OUT(faultFired(id, kind, what))
}

void Terminal::FanOut::hostReadFrom(const QString &peer)
{
    TERMINAL_FAN_OUT(hostReadFrom(peer))
}

void Terminal::FanOut::hostSendTo(const QString &peer)
{
    TERMINAL_FAN_OUT(hostSendTo(peer))
}

void Terminal::FanOut::identPortEvent(const QString &what, const QString &peer)
{
    TERMINAL_FAN_OUT(identPortEvent(what, peer))
}

void Terminal::FanOut::comutadoraFiltered(const QByteArray &read, const QByteArray &kept)
{
    TERMINAL_FAN_OUT(comutadoraFiltered(read, kept))
}

void Terminal::FanOut::telnetCommand(const QByteArray &command, const QList<QByteArray> &answers)
{
    TERMINAL_FAN_OUT(telnetCommand(command, answers))
}

void Terminal::FanOut::telnetSubnegotiationOpen(const QByteArray &collected)
{
    TERMINAL_FAN_OUT(telnetSubnegotiationOpen(collected))
}

void Terminal::FanOut::hostCommandStarts(const HostDelivery &delivery, const HostCommand &command)
{
    TERMINAL_FAN_OUT(hostCommandStarts(delivery, command))
}

void Terminal::FanOut::sendStarts(SendOrigin origin, int detail, const QByteArray &data)
{
    TERMINAL_FAN_OUT(sendStarts(origin, detail, data))
}

void Terminal::FanOut::sendEnds()
{
    TERMINAL_FAN_OUT(sendEnds())
}

void Terminal::FanOut::operatorAction(const QString &what)
{
    TERMINAL_FAN_OUT(operatorAction(what))
}

void Terminal::FanOut::note(const QString &kind, const QString &text)
{
    TERMINAL_FAN_OUT(note(kind, text))
}

#undef TERMINAL_FAN_OUT

// ---- Prompts ----

void Terminal::ObservedPrompts::showMessage(const QString &caption, const QString &text, Icon icon)
{
    if (TerminalObserver *o = m_terminal.observer())
        o->messageShown(caption, text);
    // While the box is open nothing older of this terminal goes on, as under its modal loop.
    const OperationStack::Modal modal(&m_terminal.m_operations);
    m_inner.showMessage(caption, text, icon);
}

std::optional<QString> Terminal::ObservedPrompts::inputBox(const QString &caption, const QString &prompt,
                                                           const QString &value)
{
    const OperationStack::Modal modal(&m_terminal.m_operations);
    return m_inner.inputBox(caption, prompt, value);
}

void Terminal::ObservedPrompts::requestTerminate()
{
    m_inner.requestTerminate();
}
