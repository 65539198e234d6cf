#include "engine/host_interpreter.h"

#include "engine/display_model.h"
#include "engine/frames.h"
#include "engine/host_parser.h"
#include "engine/outputs.h"
#include "engine/ports.h"
#include "engine/terminal_observer.h"
#include "engine/terminal_state.h"

namespace {

using namespace frames;

constexpr char kReady = 0x01;
constexpr char kBusy = static_cast<char>(0x80);

QByteArray bytesOf(const char *data, HostCommand::Span span)
{
    return QByteArray(data + span.at, span.size);
}

// The cursor operands converted, or MoveCursor's own conversion error
// (after it has stored the row, when only the column is not a number).
void moveCursor(DisplayModel &display, const char *data, const HostCommand &command, bool zeroBased)
{
    if (command.numbers)
        display.moveCursorTo(command.rowNumber, command.colNumber, zeroBased);
    else
        display.MoveCursor(bytesOf(data, command.row), bytesOf(data, command.col), zeroBased);
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
    const HostDelivery seen{delivery, ++m_deliveries};
    const char *const data = delivery.constData();
    const qsizetype size = delivery.size();
    Outputs::SignalBatch batch(m_outputs);
    ViewFlush flush(m_display);
    qsizetype at = 0;
    while (at < size) {
        // The protocol can change between commands (a nested event loop may run
        // the settings window), so it is looked up every time.
        const HostCommand command = m_state.vt100CommandSet()
                                        ? hostparser::vt100(data, at, size, m_printerControllerOn)
                                        : hostparser::zorvane(data, at, size, m_state.comutadoraMode);
        // Watched, each command is reported before it runs; naming it is the watcher's work.
        if (m_state.observer) [[unlikely]]
            m_state.observer->hostCommandStarts(seen, command);
        run(data, command);
        at = command.end;
    }
}

void HostInterpreter::run(const char *data, const HostCommand &command)
{
    switch (command.kind) {
    case HostCommand::Kind::Text:
        writeText(m_display, data + command.begin, data + command.end);
        return;
    case HostCommand::Kind::Printed:
        printed(data + command.begin, data + command.end);
        return;
    case HostCommand::Kind::Escape:
        escapeSequence(data, command);
        return;
    case HostCommand::Kind::Strays:
        return;
    case HostCommand::Kind::Frame:
        frame(data, command);
        return;
    }
}

void HostInterpreter::escapeSequence(const char *data, const HostCommand &command)
{
    using Action = HostCommand::Action;
    switch (command.action) {
    case Action::None:
    case Action::FunctionKeysKept:
    case Action::WSetting:
        break;
    case Action::FunctionKeysOff:
        m_state.functionKeyMode = false;
        break;
    case Action::FunctionKeysOn:
        m_state.functionKeyMode = true;
        break;
    case Action::PrintDestination:
        if (command.operand >= 0)
            m_printDestination = data[command.operand];
        break;
    case Action::CursorRow1:
        m_display.setCursorRow(1);
        break;
    case Action::CursorForward:
        m_display.CursorForward();
        break;
    case Action::StepBack:
        m_display.writeDeferred(&kBs, 1);
        break;
    case Action::CursorHome:
        m_display.setCursorRow(1);
        m_display.setCursorCol(1);
        break;
    case Action::ClearDisplay:
        m_display.ClearDisplay();
        break;
    case Action::EraseLine:
        m_display.EraseLine();
        break;
    }
    switch (command.form) {
    case HostCommand::Form::None:
        break;
    case HostCommand::Form::PrinterOn:
    case HostCommand::Form::PrinterOff:
        m_printerControllerOn = command.form == HostCommand::Form::PrinterOn;
        break;
    case HostCommand::Form::Cursor:
        moveCursor(m_display, data, command, false);
        break;
    }
}

void HostInterpreter::printed(const char *p, const char *end)
{
    for (; p < end; ++p) {
        // Read at every byte: the scale's answer to an ENQ may run another delivery meanwhile.
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
}

QByteArray HostInterpreter::replyFrame(char letter, bool busy, bool comutadora, frames::BusAddress address)
{
    return escapeFrame(QByteArray(1, busy ? kBusy : kReady) + letter, comutadora, address);
}

void HostInterpreter::reply(char letter, bool busy)
{
    const SendOriginScope origin(m_state.observer, TerminalObserver::SendOrigin::Reply, letter);
    m_sender.SendToHost(replyFrame(letter, busy, m_state.comutadoraMode, m_state.comutadoraAddress));
}

void HostInterpreter::frame(const char *data, const HostCommand &command)
{
    const bool hasOperand = command.operand >= 0;
    const char operand = hasOperand ? data[command.operand] : 0;
    switch (command.letter) {
    case 'C':
        moveCursor(m_display, data, command, true);
        return;
    case 'D':
        writeFrameText(m_display, data + command.text.at, data + command.text.at + command.text.size);
        return;
    case 'G':
        if (hasOperand)
            m_outputs.RelayOut(static_cast<unsigned char>(operand));
        return;
    case 'L':
        m_display.ClearDisplay();
        return;
    case 'O':
        if (hasOperand && operand == kDle)
            m_display.CursorBack();
        return;
    case 'P':
        reply('P', m_state.busy);
        if (!m_state.busy && hasOperand)
            m_outputs.ParallelOut(operand);
        return;
    case 'S':
        reply('S', m_state.cts);
        if (!m_state.cts && hasOperand) {
            m_display.flushView();
            m_outputs.SerialOutAndRelay(operand);
        }
        return;
    case 'T':
        m_display.flushView();
        m_status.StatusReport();
        return;
    default:
        // Cut after the STX, or an unknown letter: its extent is the rest of the delivery.
        return;
    }
}
