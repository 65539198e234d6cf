#include "inputs/keyboard.h"

#include "engine/event_wait.h"
#include "engine/frames.h"
#include "engine/terminal_observer.h"

#include <utility>

namespace {

using namespace frames;

// Last byte of the ESC O sequence a digit key sends while the prefix is armed, by digit.
constexpr char kFunctionSuffix[10] = {'x', 'P', 'Q', 'R', 'S', 't', 'u', 'v', 'l', 'w'};

int keyIndex(Keyboard::Key key)
{
    return static_cast<int>(key);
}

bool isDigitKey(Keyboard::Key key)
{
    return keyIndex(key) <= keyIndex(Keyboard::Key::K9);
}

bool isLetterKey(Keyboard::Key key)
{
    return keyIndex(key) >= keyIndex(Keyboard::Key::A) && keyIndex(key) <= keyIndex(Keyboard::Key::Z);
}

int digitOf(Keyboard::Key key)
{
    return keyIndex(key) - keyIndex(Keyboard::Key::K0);
}

char letterOf(Keyboard::Key key)
{
    return static_cast<char>('A' + keyIndex(key) - keyIndex(Keyboard::Key::A));
}

} // namespace

Keyboard::Keyboard(TerminalState &state, HostSender &sender) : m_state(state), m_sender(sender) {}

void Keyboard::setFocusReturn(std::function<void()> focusToEdFoco)
{
    m_focusReturn = std::move(focusToEdFoco);
}

void Keyboard::pressKey(Key key)
{
    // Lower-case letters and ESC for Del belong to the VT100 command set; the
    // maker's framed protocol (always in force behind a Comutadora) sends upper
    // case and DEL.
    const bool vt100 = m_state.vt100CommandSet();
    const bool sequence = (isDigitKey(key) || (key == Key::J && vt100)) && m_prefixArmed;
    const SendOriginScope origin(m_state.observer,
                                 sequence ? TerminalObserver::SendOrigin::FunctionKey
                                          : TerminalObserver::SendOrigin::Key,
                                 keyIndex(key));

    if (isDigitKey(key)) {
        const int digit = digitOf(key);
        if (m_prefixArmed) {
            // The sequence leaves while the prefix is still armed: in the Client
            // role that is what sends its three bytes in one piece.
            SendKeyString(QByteArray() + kEsc + 'O' + kFunctionSuffix[digit]);
            m_prefixArmed = false;
        } else {
            SendKey(static_cast<char>('0' + digit));
        }
        return;
    }
    if (key == Key::J && vt100 && m_prefixArmed) {
        SendKeyString(QByteArray(1, kLf));
        m_prefixArmed = false;
        return;
    }
    if (isLetterKey(key)) {
        const char upper = letterOf(key);
        SendKey(vt100 ? static_cast<char>(upper - 'A' + 'a') : upper);
        return;
    }
    switch (key) {
    case Key::Space:
        SendKey(' ');
        break;
    case Key::Virgula:
        SendKey(',');
        break;
    case Key::Ponto:
        // In function-key mode the point only arms the prefix; nothing is
        // sent, so the focus is not moved either.
        if (m_state.functionKeyMode)
            m_prefixArmed = true;
        else
            SendKey('.');
        break;
    case Key::Del:
        SendKey(vt100 ? kEsc : kDel);
        break;
    case Key::Enter:
        SendKey(kCr);
        break;
    case Key::Back:
        SendKey(kBs);
        break;
    default:
        break;
    }
}

std::optional<Keyboard::Key> Keyboard::keyForPcKey(int qtKey, Qt::KeyboardModifiers modifiers)
{
    if (qtKey >= Qt::Key_0 && qtKey <= Qt::Key_9)
        return static_cast<Key>(keyIndex(Key::K0) + (qtKey - Qt::Key_0));
    if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z)
        return static_cast<Key>(keyIndex(Key::A) + (qtKey - Qt::Key_A));
    switch (qtKey) {
    case Qt::Key_Backspace:
        return Key::Back;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return Key::Enter;
    case Qt::Key_Escape:
    case Qt::Key_Delete:
        return Key::Del;
    case Qt::Key_Space:
        return Key::Space;
    case Qt::Key_Comma:
        return Key::Virgula;
    case Qt::Key_Period:
        // The keypad's decimal key arrives as a period with the keypad
        // modifier; the terminal treats it as its comma key.
        return modifiers.testFlag(Qt::KeypadModifier) ? Key::Virgula : Key::Ponto;
    default:
        return std::nullopt;
    }
}

void Keyboard::SendKey(char c)
{
    m_sender.SendToHost(m_state.comutadoraMode ? comutadoraData(c, m_state.comutadoraAddress) : QByteArray(1, c));
    returnFocus();
}

void Keyboard::SendKeyString(const QByteArray &s)
{
    // Our own copy: events handled during the pauses may change the caller's text.
    const QByteArray text = s;
    qsizetype pos = 0;
    while (pos < text.size()) {
        if (m_state.comutadoraMode) {
            m_sender.SendToHost(comutadoraData(text[pos], m_state.comutadoraAddress));
            pos += 1;
        } else if (m_state.connectionRole == TerminalState::kClient && m_prefixArmed
                   && text.size() - pos >= 3) {
            m_sender.SendToHost(text.mid(pos, 3));
            pos += 3;
        } else {
            m_sender.SendToHost(text.mid(pos, 1));
            pos += 1;
        }
        waitKeepingEventsRunning(m_state.barcodeCharDelay);
    }
    returnFocus();
}

void Keyboard::returnFocus()
{
    if (m_focusReturn)
        m_focusReturn();
}

QString Keyboard::componentName(Key key)
{
    if (isDigitKey(key))
        return QStringLiteral("Bt%1").arg(digitOf(key));
    if (isLetterKey(key))
        return QStringLiteral("Bt") + QLatin1Char(letterOf(key));
    switch (key) {
    case Key::Space:
        return QStringLiteral("BtSpace");
    case Key::Virgula:
        return QStringLiteral("BtVirgula");
    case Key::Ponto:
        return QStringLiteral("BtPonto");
    case Key::Del:
        return QStringLiteral("BtDel");
    case Key::Enter:
        return QStringLiteral("BtEnter");
    case Key::Back:
        return QStringLiteral("BtBack");
    default:
        return QString();
    }
}

QString Keyboard::keyName(Key key)
{
    if (isDigitKey(key))
        return QString::number(digitOf(key));
    if (isLetterKey(key))
        return QString(QLatin1Char(letterOf(key)));
    switch (key) {
    case Key::Virgula:
        return QStringLiteral(",");
    case Key::Ponto:
        return QStringLiteral(".");
    case Key::Space:
        return QStringLiteral("Space");
    case Key::Del:
        return QStringLiteral("Del");
    case Key::Enter:
        return QStringLiteral("Enter");
    case Key::Back:
        return QStringLiteral("Back");
    default:
        return QString();
    }
}

QString Keyboard::caption(Key key)
{
    if (isDigitKey(key))
        return QStringLiteral("&%1").arg(digitOf(key));
    if (isLetterKey(key))
        return QStringLiteral("&") + QLatin1Char(letterOf(key));
    switch (key) {
    case Key::Space:
        return QStringLiteral("Space");
    case Key::Virgula:
        return QStringLiteral("&,");
    case Key::Ponto:
        return QStringLiteral("&.");
    case Key::Del:
        return QStringLiteral("Del");
    case Key::Enter:
        return QStringLiteral("Enter");
    default:
        return QString();
    }
}

QList<Keyboard::Key> Keyboard::allKeys()
{
    QList<Key> keys;
    for (int i = 0; i < kKeyCount; ++i)
        keys.append(static_cast<Key>(i));
    return keys;
}
