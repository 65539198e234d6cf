#pragma once

#include "inputs/keyboard.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>

#include <functional>
#include <utility>
#include <vector>

struct TerminalState;
class DigitalInputs;
class BarcodeReader;
class Scale;
class Playback;
class MainCommands;
class Prompts;

// What the operator does at the terminal, one operation per control: a key,
// an input box, "Busy", "CTS", the barcode button, the scale box and its list,
// "Reset Terminal", "Carrega Arquivo". The windows call these for their clicks
// and the control interface for its requests, so a scripted run and a person at
// the window cannot behave differently. Each runs as one event's work (errors go
// to the general error report) and ends with changed(), which the windows use to
// mirror boxes that someone else ticked. A key, the barcode and "Reset Terminal"
// may wait between their steps: they run as operations of the terminal, and
// done, when given, hears when their steps are over (or that they ended
// unfinished because the terminal went away).
class OperatorActions : public QObject {
    Q_OBJECT
public:
    struct Parts {
        TerminalState *state = nullptr;
        Keyboard *keyboard = nullptr;
        DigitalInputs *inputs = nullptr;
        BarcodeReader *barcode = nullptr;
        Scale *scale = nullptr;
        Playback *playback = nullptr; // none: the playback button does nothing
        MainCommands *commands = nullptr;
        Prompts *prompts = nullptr;
    };

    // Hears of each action before it runs, named as the control command that
    // does it ("key", "input", "barcode", ...) with that command's arguments.
    using Listener = std::function<void(const QString &command, const QJsonObject &args)>;

    explicit OperatorActions(const Parts &parts, QObject *parent = nullptr);

    // Listeners (recordings) come and go by the number addListener gives.
    int addListener(Listener listener);
    void removeListener(int id);

    using Done = OperationStack::Done;

    void pressKey(Keyboard::Key key, Done done = {});
    // The keys one after the other, as one operation; before each key goOn,
    // when given, may stop the rest.
    void typeKeys(QList<Keyboard::Key> keys, std::function<bool()> goOn = {}, Done done = {});
    // Ticks or unticks input 0..3; the host hears of it only when the input changes.
    void setInput(int index, bool on);
    void setBusy(bool on);
    void setCts(bool on);
    void pressBarcodeButton(Done done = {});
    // One code with the chosen terminator, typed like a line of the list.
    void sendBarcode(const QByteArray &code, Done done = {});
    void setScaleOn(bool on);
    void replaceScaleReadings(const QList<QByteArray> &texts);
    void chooseScaleReading(int index);
    void resetTerminal(Done done = {});
    // "Carrega Arquivo" (BtCarrega): starts playback when idle, stops it otherwise.
    void pressPlaybackButton();
    // Starts playback when on and idle; stops it when off and not idle.
    void setPlayback(bool on);

    // A command of the windows that is not one of the above (a menu item),
    // reported to whoever watches the terminal under its caption.
    void reportCommand(const QString &caption);

signals:
    void changed();

private:
    // What the operator did, in words, for whoever watches; built only when someone does.
    template <typename Words>
    void tell(Words &&words);

    template <typename Work>
    void run(Work &&work);

    void announce(const char *command, const QJsonObject &args = {});
    Operation keyOperation(Keyboard::Key key);
    Operation typeOperation(QList<Keyboard::Key> keys, std::function<bool()> goOn);
    OperationStack &operations() { return m_parts.keyboard->operations(); }

    Parts m_parts;
    std::vector<std::pair<int, Listener>> m_listeners;
    int m_nextListener = 1;
};
