#pragma once

#include "engine/operations.h"
#include "engine/ports.h"
#include "engine/terminal_state.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtCore/qnamespace.h>

#include <functional>
#include <optional>

// The terminal's 42 keys and the two operator-side send operations.
//
// A key press (an on-screen click or a PC key mapped by keyForPcKey) enters
// through pressKey(), which encodes the key for the current protocol, for the
// host-switched function-key mode and for the one-shot function prefix, and
// hands the bytes to SendKey or SendKeyString. Those two wrap every character
// for the Comutadora address when that mode is on and pass the result to the
// host sender; SendKeyString pauses BarcodeCharDelay after each character, a
// timed step of the terminal's operations (the event loop keeps running and is
// never nested). Both end by handing the keyboard focus back to the capture
// field through the focus callback the main window installs.
class Keyboard {
public:
    enum class Key {
        K0, K1, K2, K3, K4, K5, K6, K7, K8, K9,
        A, B, C, D, E, F, G, H, I, J, K, L, M,
        N, O, P, Q, R, S, T, U, V, W, X, Y, Z,
        Space, Virgula, Ponto, Del, Enter, Back
    };
    static constexpr int kKeyCount = 42;

    Keyboard(TerminalState &state, HostSender &sender, OperationStack &operations);

    // Called at the end of SendKey/SendKeyString to give the focus back to the
    // capture field; the window makes it a no-op while it is hidden.
    void setFocusReturn(std::function<void()> focusToEdFoco);

    // The click handler of a key (Bt0Click .. BtBackClick); a function-key
    // sequence waits after each character, so it is an operation.
    Operation pressKey(Key key);

    // Maps a PC key to the key it runs. Shift, Ctrl and Alt are not looked at;
    // the keypad modifier only tells the keypad decimal key (a comma) apart.
    static std::optional<Key> keyForPcKey(int qtKey, Qt::KeyboardModifiers modifiers);

    void SendKey(char c);
    Operation SendKeyString(QByteArray s);
    OperationStack &operations() { return m_operations; }

    bool FunctionPrefixArmed() const { return m_prefixArmed; }

    // "Bt1", "BtA", "BtSpace", "BtVirgula", "BtPonto", "BtDel", "BtEnter", "BtBack".
    static QString componentName(Key key);
    // "&1", "&A", "Space", "&,", "&.", "Del", "Enter"; BtBack shows a glyph, no caption.
    static QString caption(Key key);
    static QList<Key> allKeys();
    // The key's name in scripts, recordings, traces and the control protocol: "0".."9", "A".."Z", ",", ".",
    // "Space", "Del", "Enter", "Back". keyForName also takes lower-case letters.
    static QString scriptName(Key key);
    static std::optional<Key> keyForName(const QString &name);
    // The key that types a character: letters of either case, digits, space,
    // comma, period, and CR or LF for Enter, BS for Back, DEL for Del.
    static std::optional<Key> keyForCharacter(QChar c);
    // The character that keyForCharacter maps to the key (CR for Enter).
    static QChar typedCharacter(Key key);

private:
    void returnFocus();

    TerminalState &m_state;
    HostSender &m_sender;
    OperationStack &m_operations;
    std::function<void()> m_focusReturn;
    bool m_prefixArmed = false;
};
