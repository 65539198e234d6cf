#include "terminal/operator_actions.h"

#include "engine/cp1252.h"
#include "engine/prompts.h"
#include "engine/terminal_observer.h"
#include "engine/terminal_state.h"
#include "inputs/barcode_reader.h"
#include "inputs/digital_inputs.h"
#include "inputs/playback.h"
#include "inputs/scale.h"
#include "shell/main_commands.h"

#include <QJsonArray>

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

int OperatorActions::addListener(Listener listener)
{
    m_listeners.emplace_back(m_nextListener, std::move(listener));
    return m_nextListener++;
}

void OperatorActions::removeListener(int id)
{
    std::erase_if(m_listeners, [id](const auto &entry) { return entry.first == id; });
}

void OperatorActions::announce(const char *command, const QJsonObject &args)
{
    if (m_listeners.empty())
        return;
    const QString name = QString::fromLatin1(command);
    // A listener may remove itself (a recording that failed); the copy keeps the loop sound.
    const auto listeners = m_listeners;
    for (const auto &[id, listener] : listeners)
        listener(name, args);
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

Operation OperatorActions::keyOperation(Keyboard::Key key)
{
    tell([&] { return QStringLiteral("key %1").arg(Keyboard::scriptName(key)); });
    announce("key", {{QStringLiteral("key"), Keyboard::scriptName(key)}});
    co_await m_parts.keyboard->pressKey(key);
}

void OperatorActions::pressKey(Keyboard::Key key, Done done)
{
    operations().run(keyOperation(key), std::move(done));
}

Operation OperatorActions::typeOperation(QList<Keyboard::Key> keys, std::function<bool()> goOn)
{
    for (const Keyboard::Key key : keys) {
        if (goOn && !goOn())
            break;
        // Each key is its own click: a failed one is reported and the next goes on.
        try {
            co_await keyOperation(key);
        } catch (const AppError &error) {
            reportError(*m_parts.prompts, error.text());
        } catch (const SilentAbort &) {
        }
    }
}

void OperatorActions::typeKeys(QList<Keyboard::Key> keys, std::function<bool()> goOn, Done done)
{
    operations().run(typeOperation(std::move(keys), std::move(goOn)), std::move(done));
}

void OperatorActions::setInput(int index, bool on)
{
    if (index < 0 || index >= DigitalInputs::kInputCount || m_parts.inputs->isInputOn(index) == on)
        return;
    tell([&] { return QStringLiteral("\"Input %1\" %2").arg(index).arg(tickedText(on)); });
    announce("input", {{QStringLiteral("n"), index}, {QStringLiteral("on"), on}});
    run([&] { m_parts.inputs->inputClicked(index, on); });
}

void OperatorActions::setBusy(bool on)
{
    if (m_parts.state->busy == on)
        return;
    tell([&] { return QStringLiteral("\"Busy\" %1").arg(tickedText(on)); });
    announce("busy", {{QStringLiteral("on"), on}});
    m_parts.state->busy = on;
    emit changed();
}

void OperatorActions::setCts(bool on)
{
    if (m_parts.state->cts == on)
        return;
    tell([&] { return QStringLiteral("\"CTS\" %1").arg(tickedText(on)); });
    announce("cts", {{QStringLiteral("on"), on}});
    m_parts.state->cts = on;
    emit changed();
}

void OperatorActions::pressBarcodeButton(Done done)
{
    tell([] { return QStringLiteral("button \"Código de Barras\""); });
    announce("barcode");
    operations().run(m_parts.barcode->btCodigoBarrasClick(), std::move(done));
}

void OperatorActions::sendBarcode(const QByteArray &code, Done done)
{
    tell([&] { return QStringLiteral("barcode %1 read").arg(QString::fromLatin1(code.toHex(' '))); });
    announce("barcode", {{QStringLiteral("code"), fromCp1252(code)}});
    operations().run(m_parts.barcode->sendCode(code), std::move(done));
}

void OperatorActions::setScaleOn(bool on)
{
    tell([&] { return QStringLiteral("\"Balança\" %1").arg(tickedText(on)); });
    announce("scale", {{QStringLiteral("on"), on}});
    run([&] { m_parts.scale->BalancaClick(on); });
}

void OperatorActions::replaceScaleReadings(const QList<QByteArray> &texts)
{
    tell([&] { return QStringLiteral("scale readings replaced by %1 texts").arg(texts.size()); });
    if (!m_listeners.empty()) {
        QJsonArray readings;
        for (const QByteArray &text : texts)
            readings.append(fromCp1252(text));
        announce("scale", {{QStringLiteral("readings"), readings}});
    }
    run([&] { m_parts.scale->replaceItems(texts); });
}

void OperatorActions::chooseScaleReading(int index)
{
    tell([&] { return QStringLiteral("scale reading %1 chosen").arg(index); });
    announce("scale", {{QStringLiteral("next"), index}});
    run([&] { m_parts.scale->cbProtocoloBalancaClick(index); });
}

void OperatorActions::resetTerminal(Done done)
{
    tell([] { return QStringLiteral("button \"Reset Terminal\""); });
    announce("reset");
    m_parts.commands->btRestClick(std::move(done));
}

void OperatorActions::pressPlaybackButton()
{
    if (!m_parts.playback)
        return;
    tell([&] { return QStringLiteral("button \"%1\"").arg(m_parts.playback->caption()); });
    announce("playback", {{QStringLiteral("on"), m_parts.playback->mode() == Playback::Mode::Idle}});
    run([&] { m_parts.playback->BtCarregaClick(); });
}

void OperatorActions::setPlayback(bool on)
{
    if (!m_parts.playback || on == (m_parts.playback->mode() != Playback::Mode::Idle))
        return;
    pressPlaybackButton();
}
