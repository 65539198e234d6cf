#include "engine/host_parser.h"

#include "engine/byte_search.h"
#include "engine/errors.h"
#include "engine/frames.h"

namespace {

using namespace frames;
using Command = HostCommand;
using Kind = HostCommand::Kind;
using Loss = HostCommand::Loss;
using Action = HostCommand::Action;
using Form = HostCommand::Form;

constexpr unsigned char kFunctionKeysOff = 0x80;
constexpr unsigned char kFunctionKeysOn = 0xC0;

bool isCursorFinal(char c)
{
    return c == 'H' || c == 'f' || c == 'm';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Offset of the first `byte` from `at`, or `size` when there is none.
qsizetype find(const char *data, qsizetype at, qsizetype size, char byte)
{
    return bytesearch::find(data + at, data + size, byte) - data;
}

// `at` moved on by `count` bytes, or the end when fewer are left.
qsizetype skip(qsizetype at, qsizetype size, qsizetype count)
{
    return size - at < count ? size : at + count;
}

// Up to `count` bytes from `at`, fewer when the delivery ends first.
Command::Span take(qsizetype at, qsizetype size, qsizetype count)
{
    return {at, size - at < count ? size - at : count};
}

// MoveCursor's conversions, done here once: the loss when they fail, the values when they do not.
void cursorOperands(Command &c, const char *data)
{
    c.numbers = tryStrToInt(data + c.row.at, c.row.size, &c.rowNumber) &&
                tryStrToInt(data + c.col.at, c.col.size, &c.colNumber);
}

// The bytes left at the end of a delivery could be the start of a cursor form
// (r r ; c c F or r ; c c F) or of "5i"/"4i" that the end of the delivery cut.
bool looksLikeCutForm(const char *p, qsizetype n)
{
    if (n <= 0 || n >= 6)
        return false;
    if (n == 1 && (*p == '5' || *p == '4'))
        return true;
    for (qsizetype i = 0; i < n; ++i) {
        const bool allowed = isDigit(p[i]) || (p[i] == ';' && (i == 1 || i == 2));
        if (!allowed)
            return false;
    }
    return true;
}

// ---- VT100 ----

// ESC, an optional "[", the selector and the bytes its action takes; then,
// whatever the selector did, the first form the bytes after it match.
Command escapeSequence(const char *data, qsizetype at, qsizetype size)
{
    Command c;
    c.kind = Kind::Escape;
    c.begin = at;
    qsizetype p = at + 1;
    const auto cut = [&] {
        c.loss = Loss::Cut;
        c.end = size;
        return c;
    };
    if (p == size)
        return cut();
    if (data[p] == '[' && ++p == size)
        return cut();

    c.letter = data[p];
    bool known = true;
    switch (data[p]) {
    case kEsc:
        c.action = Action::FunctionKeysKept;
        if (++p == size)
            return cut();
        c.operand = p;
        if (static_cast<unsigned char>(data[p]) == kFunctionKeysOff)
            c.action = Action::FunctionKeysOff;
        else if (static_cast<unsigned char>(data[p]) == kFunctionKeysOn)
            c.action = Action::FunctionKeysOn;
        ++p;
        break;
    case '?':
        // "?" and two bytes, then the destination letter; "w" takes three more.
        c.action = Action::PrintDestination;
        if (size - p < 4)
            return cut();
        if (data[p + 3] == 'w') {
            c.action = Action::WSetting;
            if (size - p < 7)
                return cut();
            p += 7;
        } else {
            c.operand = p + 3;
            p += 4;
        }
        break;
    case 'A':
        c.action = Action::CursorRow1;
        ++p;
        break;
    case 'C':
        c.action = Action::CursorForward;
        ++p;
        break;
    case 'D':
    case 'n':
        c.action = Action::StepBack;
        ++p;
        if (p < size && data[p] == 'D')
            ++p;
        break;
    case 'H':
    case 'f':
    case 'm':
        c.action = Action::CursorHome;
        ++p;
        break;
    case 'J':
        c.action = Action::ClearDisplay;
        ++p;
        break;
    case 'K':
        c.action = Action::EraseLine;
        ++p;
        break;
    default:
        // Not a selector: left for the forms, and then shown as text.
        known = false;
        break;
    }

    const char *q = data + p;
    const qsizetype n = size - p;
    if (n >= 2 && q[1] == 'i' && (q[0] == '5' || q[0] == '4')) {
        c.form = q[0] == '5' ? Form::PrinterOn : Form::PrinterOff;
        p += 2;
    } else if (n >= 6 && q[2] == ';' && isCursorFinal(q[5])) {
        c.form = Form::Cursor;
        c.row = {p, 2};
        c.col = {p + 3, 2};
        p += 6;
    } else if (n >= 5 && q[1] == ';' && isCursorFinal(q[4])) {
        c.form = Form::Cursor;
        c.row = {p, 1};
        c.col = {p + 2, 2};
        p += 5;
    } else if (!known && looksLikeCutForm(q, n)) {
        c.loss = Loss::Cut;
    }
    if (c.form == Form::Cursor) {
        cursorOperands(c, data);
        if (!c.numbers)
            c.loss = Loss::BadCursorOperands;
    }
    c.end = p;
    return c;
}

// ---- Zorvane ----

// The text of a "D" frame ends at ETX (taken), at STX (left: it starts the
// next frame) or at the end of the delivery (the frame is cut).
void frameText(Command &c, const char *data, qsizetype at, qsizetype size)
{
    const qsizetype p = bytesearch::findEither(data + at, data + size, kEtx, kStx) - data;
    c.text = {at, p - at};
    if (p == size) {
        c.loss = Loss::Cut;
        c.end = size;
    } else if (data[p] == kEtx) {
        c.closed = true;
        c.end = p + 1;
    } else {
        c.end = p;
    }
}

Command frame(const char *data, qsizetype at, qsizetype size, bool comutadora)
{
    Command c;
    c.kind = Kind::Frame;
    c.begin = at;
    qsizetype p = at + 1;
    if (p == size) {
        c.loss = Loss::Cut;
        c.end = size;
        return c;
    }
    c.letter = data[p++];
    // In the Comutadora framing the terminal address follows the letter.
    if (comutadora)
        c.address = take(p, size, 2);
    const qsizetype operand = comutadora ? skip(p, size, 2) : p;
    qsizetype next = operand;
    // A lone ETX that a frame leaves behind by design ("C" in the plain framing,
    // "L" and "T" in the Comutadora framing) is dropped at once: it is taken here.
    bool leavesEtx = false;

    switch (c.letter) {
    case 'C':
        // One row character and two column characters; the plain framing then
        // leaves the ETX, the Comutadora framing takes it.
        c.row = take(operand, size, 1);
        c.col = take(skip(operand, size, 1), size, 2);
        next = skip(operand, size, comutadora ? 4 : 3);
        leavesEtx = !comutadora;
        cursorOperands(c, data);
        if (size - operand < 3)
            c.loss = Loss::Cut;
        else if (!c.numbers)
            c.loss = Loss::BadCursorOperands;
        break;
    case 'D':
        frameText(c, data, operand, size);
        return c;
    case 'G':
    case 'O':
    case 'P':
    case 'S':
        // The operand and the byte after it, the ETX.
        if (operand < size)
            c.operand = operand;
        else
            c.loss = Loss::Cut;
        next = skip(operand, size, 2);
        break;
    case 'L':
        // The plain framing takes the ETX with the letter; the Comutadora framing leaves it.
        next = comutadora ? operand : skip(p, size, 1);
        leavesEtx = comutadora;
        break;
    case 'T':
        // The plain framing takes the two bytes after the letter, whatever they are.
        next = comutadora ? operand : skip(p, size, 2);
        leavesEtx = comutadora;
        break;
    default:
        c.loss = Loss::UnknownLetter;
        next = size;
        break;
    }
    if (leavesEtx && next < size && data[next] == kEtx)
        ++next;
    const qsizetype body = comutadora ? c.address.at + c.address.size : p;
    c.closed = next > body && data[next - 1] == kEtx && c.loss != Loss::UnknownLetter;
    c.end = next;
    return c;
}

} // namespace

namespace hostparser {

HostCommand vt100(const char *delivery, qsizetype at, qsizetype size, bool printerControllerOn)
{
    if (delivery[at] == kEsc)
        return escapeSequence(delivery, at, size);
    Command c;
    c.kind = printerControllerOn ? Kind::Printed : Kind::Text;
    c.begin = at;
    c.end = find(delivery, at, size, kEsc);
    c.text = {at, c.end - at};
    return c;
}

HostCommand zorvane(const char *delivery, qsizetype at, qsizetype size, bool comutadora)
{
    if (delivery[at] == kStx)
        return frame(delivery, at, size, comutadora);
    Command c;
    c.kind = Kind::Strays;
    c.loss = Loss::Strays;
    c.begin = at;
    c.end = find(delivery, at, size, kStx);
    return c;
}

} // namespace hostparser
