#pragma once

#include <QtGlobal>

// The host's bytes cut into commands, once, for everything that needs to know
// where a command begins and ends: the interpreter executes the values, the
// trace names them. A parser per dialect takes the delivery and the offset of
// the next command and gives the command that starts there as a value: its
// kind, its extent, its operands (as extents in the delivery) and what the host
// lost by it. It reads only the bytes and the settings it is given; it changes
// nothing. The interpreter asks for one command at a time, because the dialect,
// the framing and the printer controller can change between two commands.
//
// Every byte of a delivery belongs to exactly one command: the extents of the
// commands, parsed one after the other from offset 0, add up to the delivery.
struct HostCommand {
    enum class Kind : quint8 {
        Text,    // VT100: a run of plain bytes up to the next ESC, for the display
        Printed, // VT100: the same run while the printer controller is on, for the print destination
        Escape,  // VT100: ESC, an optional "[", a selector and its action, then one of the forms
        Strays,  // Zorvane: bytes outside any frame, up to the next STX, dropped
        Frame,   // Zorvane: STX, the command letter and what the letter takes after it
    };
    // What the host lost by the command, as far as its bytes tell.
    enum class Loss : quint8 {
        None,
        Cut,               // the delivery ended inside the command
        Strays,            // bytes outside any frame
        UnknownLetter,     // the rest of the delivery is discarded
        BadCursorOperands, // the cursor operands are not numbers: the rest of the delivery is not processed
    };
    // The selector of an escape sequence and what it does.
    enum class Action : quint8 {
        None,             // no selector: the delivery ended before it, or an unknown byte (left for what follows)
        FunctionKeysOff,  // ESC ESC 0x80
        FunctionKeysOn,   // ESC ESC 0xC0
        FunctionKeysKept, // ESC ESC and any other byte, or nothing
        PrintDestination, // "?" n n d: `operand` is d; cut short it changes nothing
        WSetting,         // "?" n n "w" and three more bytes: nothing
        CursorRow1,       // "A"
        CursorForward,    // "C"
        StepBack,         // "D" or "n", and one more "D"
        CursorHome,       // "H", "f", "m"
        ClearDisplay,     // "J"
        EraseLine,        // "K"
    };
    // What the bytes after the selector's own make of the sequence.
    enum class Form : quint8 { None, PrinterOn, PrinterOff, Cursor };

    struct Span {
        qsizetype at = 0;
        qsizetype size = 0;
    };

    Kind kind = Kind::Text;
    Loss loss = Loss::None;
    Action action = Action::None;
    Form form = Form::None;
    // Frame: the command letter (0 when the delivery ends after the STX).
    // Escape: the selector byte (0 when the delivery ends before it).
    char letter = 0;
    // Frame: it ends with an ETX after its letter (and address).
    bool closed = false;
    qsizetype begin = 0;
    qsizetype end = 0;
    // Frame "D": the text between the letter (and address) and ETX, STX or the end.
    Span text;
    // The Comutadora framing's address after the letter, as far as it came.
    Span address;
    // Frame "C" and the cursor form: the row and column texts, as MoveCursor
    // takes them, and their values when both are numbers.
    Span row;
    Span col;
    bool numbers = false;
    int rowNumber = 0;
    int colNumber = 0;
    // Frame "G", "O", "P", "S": the operand byte; Escape: the byte after ESC ESC or
    // the destination letter. -1 when the delivery ended before it.
    qsizetype operand = -1;

    qsizetype size() const { return end - begin; }
};

namespace hostparser {

// The command of the VT100 dialect at `at` (< size) of the delivery.
HostCommand vt100(const char *delivery, qsizetype at, qsizetype size, bool printerControllerOn);
// The command of the Zorvane dialect at `at` (< size), in the plain or the Comutadora framing.
HostCommand zorvane(const char *delivery, qsizetype at, qsizetype size, bool comutadora);

} // namespace hostparser
