#include "inputs/digital_inputs.h"

#include "engine/frames.h"
#include "engine/terminal_observer.h"

namespace {

bool validIndex(int index)
{
    return index >= 0 && index < DigitalInputs::kInputCount;
}

} // namespace

DigitalInputs::DigitalInputs(TerminalState &state, Keyboard &keyboard, HostSender &sender)
    : m_state(state), m_keyboard(keyboard), m_sender(sender)
{
}

void DigitalInputs::inputClicked(int index, bool ticked)
{
    if (!validIndex(index))
        return;
    const auto bit = static_cast<unsigned char>(1u << index);
    auto value = static_cast<unsigned char>(m_inputState);
    value = ticked ? static_cast<unsigned char>(value | bit) : static_cast<unsigned char>(value & ~bit);
    m_inputState = static_cast<char>(value);
    // Two separate keys: behind a Comutadora each travels in its own frame.
    const SendOriginScope origin(m_state.observer, TerminalObserver::SendOrigin::InputReport, index);
    m_keyboard.SendKey('@');
    m_keyboard.SendKey(m_inputState);
}

bool DigitalInputs::isInputOn(int index) const
{
    return validIndex(index) && (static_cast<unsigned char>(m_inputState) & (1u << index)) != 0;
}

void DigitalInputs::resetForNewWindow()
{
    m_inputState = '0';
}

QByteArray DigitalInputs::statusFrame(bool busy, bool cts, bool comutadora, frames::BusAddress address)
{
    unsigned status = 0x80;
    if (busy)
        status |= 0x20;
    if (cts)
        status |= 0x08;
    return frames::escapeFrame(QByteArray(1, static_cast<char>(status)) + 'T', comutadora, address);
}

void DigitalInputs::StatusReport()
{
    const SendOriginScope origin(m_state.observer, TerminalObserver::SendOrigin::StatusReport);
    m_sender.SendToHost(statusFrame(m_state.busy, m_state.cts, m_state.comutadoraMode, m_state.comutadoraAddress));
}

QString DigitalInputs::caption(int index)
{
    return validIndex(index) ? QStringLiteral("Input %1").arg(index) : QString();
}

QString DigitalInputs::hint(int index)
{
    return validIndex(index) ? QStringLiteral("Valor: @%1").arg(1 << index) : QString();
}
