#pragma once

#include "engine/frames.h"

#include <QByteArray>
#include <QString>

// Names the host commands the interpreter runs, one at a time, for the trace.
//
// The interpreter announces each command before it runs it, with the offset of
// its first byte in the delivery; the trace takes the terminal's state at that
// moment (dialect, framing, boxes, printer controller, cursor) into a
// CommandContext and asks decode() for the command's extent, its meaning in
// words and what the host lost by it, if anything. The extent follows the
// interpreter's own consumption rules, so the bytes a command takes in the
// trace are the bytes it takes in the terminal; a lone ETX that the
// interpreter then drops as a stray ("C" in the plain framing, "L" and "T" in
// the Comutadora framing leave it behind by design) is counted with its frame.
// Words are only built when asked for: a flood of equal commands is folded by
// the trace, which then needs only the extent and the warning.
class HostCommandDecoder {
public:
    enum class Warning { None, CutCommand, StrayBytes, UnknownLetter, BadCursorOperands, WrappedText, BusyReply };

    struct Context {
        bool vt100 = false;
        bool comutadora = false;
        frames::BusAddress address = frames::kDefaultAddress; // this terminal's, behind a Comutadora
        bool busy = false;
        bool cts = false;
        bool printerControllerOn = false;
        char printDestination = 0;
        bool serialRelay = false;  // "Habilitado": serial bytes also go to the PC COM port
        bool scaleAnswers = false; // the scale is on and "Porta COM" is not ticked
        int row = 1;
        int col = 1;
    };

    struct Decoded {
        qsizetype length = 0;
        // Commands of equal shape and warning are alike enough to fold.
        int shape = 0;
        Warning warning = Warning::None;
        QString words; // the bytes in notation, two spaces, the meaning
        // The command sends nothing and changes nothing but the cursor, which
        // it leaves at row, col: the context of the next command is known
        // before it runs, so a row of them can be named ahead (see Tracer).
        bool predictable = false;
        int row = 1;
        int col = 1;
    };

    static Decoded decode(const QByteArray &delivery, qsizetype offset, const Context &context, bool words);
    // "cut-command", ...; empty for None.
    static QString warningName(Warning warning);
};
