#pragma once

#include "engine/ports.h"
#include "engine/terminal_state.h"
#include "inputs/keyboard.h"

#include <QString>

// The terminal's four digital inputs and the status frame.
//
// A tick or untick of one of the four input boxes changes its bit in
// InputState and reports the change to the host as two keys, "@" and the state
// byte, through the keyboard's SendKey (so the Comutadora framing and the focus
// return apply). StatusReport answers the host's status query with one frame
// built from the Busy and CTS boxes of the output side, sent in one piece.
class DigitalInputs : public StatusReporter {
public:
    static constexpr int kInputCount = 4;

    DigitalInputs(TerminalState &state, Keyboard &keyboard, HostSender &sender);

    // CheckBox1Click .. CheckBox4Click: index 0 .. 3, ticked = the box's new state.
    void inputClicked(int index, bool ticked);
    char InputState() const { return m_inputState; }
    bool isInputOn(int index) const;
    // At main window creation every input reads as off.
    void resetForNewWindow();

    void StatusReport() override;
    // The frame StatusReport sends for these boxes, in the framing given.
    static QByteArray statusFrame(bool busy, bool cts, bool comutadora, frames::BusAddress address);

    // "Input 0" .. "Input 3" and the hints "Valor: @1" .. "Valor: @8".
    static QString caption(int index);
    static QString hint(int index);

private:
    TerminalState &m_state;
    Keyboard &m_keyboard;
    HostSender &m_sender;
    char m_inputState = '0';
};
