#include "terminal/operator_actions.h"

#include "engine/prompts.h"
#include "engine/terminal_state.h"
#include "inputs/barcode_reader.h"
#include "inputs/digital_inputs.h"
#include "inputs/playback.h"
#include "inputs/scale.h"
#include "shell/main_commands.h"

#include <utility>

OperatorActions::OperatorActions(const Parts &parts, QObject *parent) : QObject(parent), m_parts(parts) {}

template <typename Work>
void OperatorActions::run(Work &&work)
{
    guarded(*m_parts.prompts, std::forward<Work>(work));
    emit changed();
}

void OperatorActions::pressKey(Keyboard::Key key)
{
    guarded(*m_parts.prompts, [&] { m_parts.keyboard->pressKey(key); });
}

void OperatorActions::setInput(int index, bool on)
{
    if (index < 0 || index >= DigitalInputs::kInputCount || m_parts.inputs->isInputOn(index) == on)
        return;
    run([&] { m_parts.inputs->inputClicked(index, on); });
}

void OperatorActions::setBusy(bool on)
{
    if (m_parts.state->busy == on)
        return;
    m_parts.state->busy = on;
    emit changed();
}

void OperatorActions::setCts(bool on)
{
    if (m_parts.state->cts == on)
        return;
    m_parts.state->cts = on;
    emit changed();
}

void OperatorActions::pressBarcodeButton()
{
    guarded(*m_parts.prompts, [&] { m_parts.barcode->btCodigoBarrasClick(); });
}

void OperatorActions::sendBarcode(const QByteArray &code)
{
    guarded(*m_parts.prompts, [&] { m_parts.barcode->sendCode(code); });
}

void OperatorActions::setScaleOn(bool on)
{
    run([&] { m_parts.scale->BalancaClick(on); });
}

void OperatorActions::replaceScaleReadings(const QList<QByteArray> &texts)
{
    run([&] { m_parts.scale->replaceItems(texts); });
}

void OperatorActions::chooseScaleReading(int index)
{
    run([&] { m_parts.scale->cbProtocoloBalancaClick(index); });
}

void OperatorActions::resetTerminal()
{
    m_parts.commands->btRestClick();
}

void OperatorActions::pressPlaybackButton()
{
    if (m_parts.playback)
        run([&] { m_parts.playback->BtCarregaClick(); });
}

void OperatorActions::setPlayback(bool on)
{
    if (!m_parts.playback || on == (m_parts.playback->mode() != Playback::Mode::Idle))
        return;
    pressPlaybackButton();
}
