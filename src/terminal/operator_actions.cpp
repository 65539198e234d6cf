#include "terminal/operator_actions.h"

#include "engine/prompts.h"
#include "engine/terminal_observer.h"
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

template <typename Words>
void OperatorActions::tell(Words &&words)
{
    if (TerminalObserver *observer = m_parts.state->observer)
        observer->operatorAction(words());
}

namespace {

QString tickedText(bool on)
{
    return on ? QStringLiteral("ticked") : QStringLiteral("unticked");
}

} // namespace

void OperatorActions::reportCommand(const QString &caption)
{
    tell([&] { return QStringLiteral("menu \"%1\"").arg(caption); });
}

void OperatorActions::pressKey(Keyboard::Key key)
{
    tell([&] { return QStringLiteral("key %1").arg(Keyboard::keyName(key)); });
    guarded(*m_parts.prompts, [&] { m_parts.keyboard->pressKey(key); });
}

void OperatorActions::setInput(int index, bool on)
{
    if (index < 0 || index >= DigitalInputs::kInputCount || m_parts.inputs->isInputOn(index) == on)
        return;
    tell([&] { return QStringLiteral("\"Input %1\" %2").arg(index).arg(tickedText(on)); });
    run([&] { m_parts.inputs->inputClicked(index, on); });
}

void OperatorActions::setBusy(bool on)
{
    if (m_parts.state->busy == on)
        return;
    tell([&] { return QStringLiteral("\"Busy\" %1").arg(tickedText(on)); });
    m_parts.state->busy = on;
    emit changed();
}

void OperatorActions::setCts(bool on)
{
    if (m_parts.state->cts == on)
        return;
    tell([&] { return QStringLiteral("\"CTS\" %1").arg(tickedText(on)); });
    m_parts.state->cts = on;
    emit changed();
}

void OperatorActions::pressBarcodeButton()
{
    tell([] { return QStringLiteral("button \"Código de Barras\""); });
    guarded(*m_parts.prompts, [&] { m_parts.barcode->btCodigoBarrasClick(); });
}

void OperatorActions::sendBarcode(const QByteArray &code)
{
    tell([&] { return QStringLiteral("barcode %1 read").arg(QString::fromLatin1(code.toHex(' '))); });
    guarded(*m_parts.prompts, [&] { m_parts.barcode->sendCode(code); });
}

void OperatorActions::setScaleOn(bool on)
{
    tell([&] { return QStringLiteral("\"Balança\" %1").arg(tickedText(on)); });
    run([&] { m_parts.scale->BalancaClick(on); });
}

void OperatorActions::replaceScaleReadings(const QList<QByteArray> &texts)
{
    tell([&] { return QStringLiteral("scale readings replaced by %1 texts").arg(texts.size()); });
    run([&] { m_parts.scale->replaceItems(texts); });
}

void OperatorActions::chooseScaleReading(int index)
{
    tell([&] { return QStringLiteral("scale reading %1 chosen").arg(index); });
    run([&] { m_parts.scale->cbProtocoloBalancaClick(index); });
}

void OperatorActions::resetTerminal()
{
    tell([] { return QStringLiteral("button \"Reset Terminal\""); });
    m_parts.commands->btRestClick();
}

void OperatorActions::pressPlaybackButton()
{
    if (!m_parts.playback)
        return;
    tell([&] { return QStringLiteral("button \"%1\"").arg(m_parts.playback->caption()); });
    run([&] { m_parts.playback->BtCarregaClick(); });
}

void OperatorActions::setPlayback(bool on)
{
    if (!m_parts.playback || on == (m_parts.playback->mode() != Playback::Mode::Idle))
        return;
    pressPlaybackButton();
}
