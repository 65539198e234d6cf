#pragma once

#include <QByteArray>

struct TerminalState;
class DisplayModel;
class Outputs;
class HostSender;
class StatusReporter;

// What the terminal does with the host's data. The receive path hands each
// delivery to InterpretHostData, which consumes it from the front command by
// command in the dialect the protocol selects (VT100 escape sequences and plain
// text, or Zorvane STX frames), writes into the display model, drives the
// outputs and sends the replies through the HostSender. No partial command
// survives from one delivery to the next; only the display, the function-key
// mode (in TerminalState) and the printer-controller settings carry over.
class HostInterpreter {
public:
    HostInterpreter(TerminalState &state, DisplayModel &display, Outputs &outputs,
                    HostSender &sender, StatusReporter &status);

    // Throws ConversionError when a cursor command's operands are not numbers;
    // what the delivery did before that stays done and the rest is dropped.
    void InterpretHostData(const QByteArray &bytes);

    bool PrinterControllerOn() const { return m_printerControllerOn; }
    // The selected print destination letter, 0 while none has been selected.
    char PrintDestination() const { return m_printDestination; }

private:
    const char *escapeSequence(const char *p, const char *end);
    const char *plainRun(const char *p, const char *end);
    const char *frame(const char *p, const char *end);
    const char *frameText(const char *p, const char *end);
    void reply(char status, char letter);

    TerminalState &m_state;
    DisplayModel &m_display;
    Outputs &m_outputs;
    HostSender &m_sender;
    StatusReporter &m_status;

    bool m_printerControllerOn = false;
    char m_printDestination = 0;
};
