#include "engine/host_interpreter.h"

#include "engine/display_model.h"
#include "engine/frames.h"
#include "engine/outputs.h"
#include "engine/ports.h"
#include "engine/terminal_observer.h"
#include "engine/terminal_state.h"

namespace {

using namespace frames;

constexpr char kReady = 0x01;
constexpr char kBusy = static_cast<char>(0x80);
constexpr unsigned char kFunctionKeysOff = 0x80;
constexpr unsigned char kFunctionKeysOn = 0xC0;

bool isCursorFinal(char c)
{
    return c == 'H' || c == 'f' || c == 'm';
}

// Bytes left from p, never negative.
qsizetype left(const char *p, const char *end)
{
    return end - p;
}

// Up to count bytes from p, fewer when the delivery ends first.
QByteArray take(const char *p, const char *end, qsizetype count)
{
    return QByteArray(p, left(p, end) < count ? left(p, end) : count);
}

const char *skip(const char *p, const char *end, qsizetype count)
{
    return left(p, end) < count ? end : p + count;
}

// Refreshes the display fields when a delivery ends, also when it ends with an error.
class ViewFlush {
public:
    explicit ViewFlush(DisplayModel &display) : m_display(display) {}
    ~ViewFlush() { m_display.flushView(); }
    ViewFlush(const ViewFlush &) = delete;
    ViewFlush &operator=(const ViewFlush &) = delete;

private:
    DisplayModel &m_display;
};

} // namespace

HostInterpreter::HostInterpreter(TerminalState &state, DisplayModel &display, Outputs &outputs,
                                 HostSender &sender, StatusReporter &status)
    : m_state(state), m_display(display), m_outputs(outputs), m_sender(sender), m_status(status)
{
}

void HostInterpreter::InterpretHostData(const QByteArray &bytes)
{
    // A local copy keeps the data alive should a nested event loop (the scale
    // answering an ENQ) hand us another delivery meanwhile.
    const QByteArray delivery = bytes;
    const char *p = delivery.constData();
    const char *const end = p + delivery.size();
    Outputs::SignalBatch batch(m_outputs);
    ViewFlush flush(m_display);
    while (p < end) {
        // Watched, each command is announced before it runs; naming it is the watcher's work.
        if (m_state.observer) [[unlikely]]
            m_state.observer->hostCommandStarts(delivery, p - delivery.constData());
        // The protocol can change between commands (a nested event loop may run
        // the settings window), so it is looked up every time.
        if (m_state.vt100CommandSet())
            p = *p == kEsc ? escapeSequence(p, end) : plainRun(p, end);
        else
            p = *p == kStx ? frame(p, end) : p + 1;
    }
}

const char *HostInterpreter::escapeSequence(const char *p, const char *end)
{
    ++p; // ESC
    if (p == end)
        return end;
    if (*p == '[') {
        ++p;
        if (p == end)
            return end;
    }
    switch (*p) {
    case kEsc:
        ++p;
        if (p < end) {
            const auto mode = static_cast<unsigned char>(*p++);
            if (mode == kFunctionKeysOff)
                m_state.functionKeyMode = false;
            else if (mode == kFunctionKeysOn)
                m_state.functionKeyMode = true;
        }
        break;
    case '?':
        if (left(p, end) >= 4) {
            if (p[3] == 'w') {
                p = skip(p, end, 7);
            } else {
                m_printDestination = p[3];
                p += 4;
            }
        } else {
            p = end;
        }
        break;
    case 'A':
        ++p;
        m_display.setCursorRow(1);
        break;
    case 'C':
        ++p;
        m_display.CursorForward();
        break;
    case 'D':
    case 'n':
        ++p;
        if (p < end && *p == 'D')
            ++p;
        m_display.writeDeferred(&kBs, 1);
        break;
    case 'H':
    case 'f':
    case 'm':
        ++p;
        m_display.setCursorRow(1);
        m_display.setCursorCol(1);
        break;
    case 'J':
        ++p;
        m_display.ClearDisplay();
        break;
    case 'K':
        ++p;
        m_display.EraseLine();
        break;
    default:
        break;
    }

    const qsizetype n = left(p, end);
    if (n >= 2 && p[1] == 'i' && (p[0] == '5' || p[0] == '4')) {
        m_printerControllerOn = p[0] == '5';
        return p + 2;
    }
    if (n >= 6 && p[2] == ';' && isCursorFinal(p[5])) {
        m_display.MoveCursor(QByteArray(p, 2), QByteArray(p + 3, 2), false);
        return p + 6;
    }
    if (n >= 5 && p[1] == ';' && isCursorFinal(p[4])) {
        m_display.MoveCursor(QByteArray(p, 1), QByteArray(p + 2, 2), false);
        return p + 5;
    }
    return p;
}

const char *HostInterpreter::plainRun(const char *p, const char *end)
{
    if (m_printerControllerOn) {
        for (; p < end && *p != kEsc; ++p) {
            switch (m_printDestination) {
            case 'c':
                m_outputs.RelayOut(static_cast<unsigned char>(*p));
                break;
            case 'h':
            case 'r':
                m_display.flushView();
                m_outputs.SerialOutAndRelay(*p);
                break;
            case 'l':
                m_outputs.ParallelOut(*p);
                break;
            default:
                break;
            }
        }
        return p;
    }
    while (p < end && *p != kEsc) {
        const char *text = p;
        while (p < end && *p != kEsc && *p != kCr && *p != kLf)
            ++p;
        m_display.writeDeferred(text, p - text);
        if (p == end || *p == kEsc)
            break;
        if (*p == kCr)
            m_display.setCursorCol(1);
        else
            m_display.LineFeed();
        ++p;
    }
    return p;
}

void HostInterpreter::reply(char status, char letter)
{
    const SendOriginScope origin(m_state.observer, TerminalObserver::SendOrigin::Reply, letter);
    m_sender.SendToHost(escapeFrame(QByteArray(1, status) + letter, m_state.comutadoraMode, m_state.comutadoraAddress));
}

const char *HostInterpreter::frame(const char *p, const char *end)
{
    ++p; // STX
    if (p == end)
        return end;
    const char letter = *p++;
    const bool comutadora = m_state.comutadoraMode;
    // In the Comutadora framing the terminal address follows the letter.
    const char *operand = comutadora ? skip(p, end, 2) : p;

    switch (letter) {
    case 'C': {
        const QByteArray row = take(operand, end, 1);
        const QByteArray col = take(skip(operand, end, 1), end, 2);
        const char *next = skip(operand, end, comutadora ? 4 : 3);
        m_display.MoveCursor(row, col, true);
        return next;
    }
    case 'D':
        return frameText(operand, end);
    case 'G':
        if (operand < end)
            m_outputs.RelayOut(static_cast<unsigned char>(*operand));
        return skip(operand, end, 2);
    case 'L':
        m_display.ClearDisplay();
        // Plain framing takes the ETX with the letter; the Comutadora framing leaves it as a stray byte.
        return comutadora ? operand : skip(p, end, 1);
    case 'O':
        if (operand < end && *operand == kDle)
            m_display.CursorBack();
        return skip(operand, end, 2);
    case 'P':
        reply(m_state.busy ? kBusy : kReady, 'P');
        if (!m_state.busy && operand < end)
            m_outputs.ParallelOut(*operand);
        return skip(operand, end, 2);
    case 'S':
        reply(m_state.cts ? kBusy : kReady, 'S');
        if (!m_state.cts && operand < end) {
            m_display.flushView();
            m_outputs.SerialOutAndRelay(*operand);
        }
        return skip(operand, end, 2);
    case 'T': {
        // Plain framing takes the two bytes after the letter, whatever they are.
        const char *next = comutadora ? operand : skip(p, end, 2);
        m_display.flushView();
        m_status.StatusReport();
        return next;
    }
    default:
        return end;
    }
}

const char *HostInterpreter::frameText(const char *p, const char *end)
{
    while (p < end) {
        const char *text = p;
        while (p < end && *p != kEtx && *p != kStx && *p != kCr)
            ++p;
        m_display.writeDeferred(text, p - text);
        if (p == end || *p == kStx)
            return p;
        if (*p == kEtx)
            return p + 1;
        m_display.writeDeferred("Cr", 2);
        ++p;
    }
    return p;
}
