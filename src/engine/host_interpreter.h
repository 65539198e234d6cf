#pragma once

#include "engine/byte_search.h"
#include "engine/frames.h"

#include <QByteArray>

struct HostCommand;
struct TerminalState;
class DisplayModel;
class Outputs;
class HostSender;
class StatusReporter;

// What the terminal does with the host's data. The receive path hands each
// delivery to InterpretHostData, which has the parser of the dialect the
// protocol selects (VT100 escape sequences and plain text, or Zorvane STX
// frames) cut it into commands, one at a time from the front, and executes
// each: it writes into the display model, drives the outputs and sends the
// replies through the HostSender. A watcher is told of each command before it
// runs, with the delivery's sequence number. No partial command survives from
// one delivery to the next; only the display, the function-key mode (in
// TerminalState) and the printer-controller settings carry over.
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

    // The reply to "P" or "S": busy when the box blocks the output, else ready.
    static QByteArray replyFrame(char letter, bool busy, bool comutadora, frames::BusAddress address);

    // How the text of a command reaches the display: a VT100 run in pieces,
    // CR to column 1 and LF to the other line; a Zorvane "D" text in pieces,
    // CR written as the two characters "Cr". Display is the DisplayModel, or
    // anything with its writeDeferred, setCursorCol and LineFeed that follows
    // the same steps without a display (the trace).
    template <typename Display>
    static void writeText(Display &display, const char *p, const char *end);
    template <typename Display>
    static void writeFrameText(Display &display, const char *p, const char *end);

private:
    void run(const char *data, const HostCommand &command);
    void escapeSequence(const char *data, const HostCommand &command);
    void printed(const char *p, const char *end);
    void frame(const char *data, const HostCommand &command);
    void reply(char letter, bool busy);

    TerminalState &m_state;
    DisplayModel &m_display;
    Outputs &m_outputs;
    HostSender &m_sender;
    StatusReporter &m_status;

    bool m_printerControllerOn = false;
    char m_printDestination = 0;
    quint64 m_deliveries = 0;
};

template <typename Display>
void HostInterpreter::writeText(Display &display, const char *p, const char *end)
{
    while (p < end) {
        const char *piece = p;
        p = bytesearch::findEither(p, end, '\r', '\n');
        display.writeDeferred(piece, p - piece);
        if (p == end)
            return;
        if (*p == '\r')
            display.setCursorCol(1);
        else
            display.LineFeed();
        ++p;
    }
}

template <typename Display>
void HostInterpreter::writeFrameText(Display &display, const char *p, const char *end)
{
    while (p < end) {
        const char *pieceEnd = bytesearch::find(p, end, '\r');
        display.writeDeferred(p, pieceEnd - p);
        if (pieceEnd == end)
            return;
        display.writeDeferred("Cr", 2);
        p = pieceEnd + 1;
    }
}
