#include "inputs/keyboard.h"

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

Keyboard::Keyboard(TerminalState &state, HostSender &sender, OperationStack &operations)
    : m_state(state), m_sender(sender), m_operations(operations)
{
}

void Keyboard::setFocusReturn(std::function<void()> focusToEdFoco)
{
    m_focusReturn = std::move(focusToEdFoco);
}

Operation Keyboard::pressKey(Key key)
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
            const QByteArray functionKey = QByteArray() + kEsc + 'O' + kFunctionSuffix[digit];
            co_await SendKeyString(functionKey);
            m_prefixArmed = false;
        } else {
            SendKey(static_cast<char>('0' + digit));
        }
        co_return;
    }
    if (key == Key::J && vt100 && m_prefixArmed) {
        const QByteArray lineFeed(1, kLf);
        co_await SendKeyString(lineFeed);
        m_prefixArmed = false;
        co_return;
    }
    if (isLetterKey(key)) {
        const char upper = letterOf(key);
        SendKey(vt100 ? static_cast<char>(upper - 'A' + 'a') : upper);
        co_return;
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

Operation Keyboard::SendKeyString(QByteArray text)
{
    // The text is the operation's own copy: events handled during the pauses may change the caller's.
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
        co_await m_operations.pause(m_state.barcodeCharDelay);
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

QString Keyboard::scriptName(Key key)
{
    switch (key) {
    case Key::Space:
        return QStringLiteral("Space");
    case Key::Del:
        return QStringLiteral("Del");
    case Key::Enter:
        return QStringLiteral("Enter");
    case Key::Back:
        return QStringLiteral("Back");
    default:
        return QString(typedCharacter(key));
    }
}

std::optional<Keyboard::Key> Keyboard::keyForName(const QString &name)
{
    if (name.size() == 1) {
        const QChar c = name.at(0);
        if (c == QLatin1Char(' ') || c.unicode() < 0x20 || c.unicode() == 0x7F)
            return std::nullopt;
        return keyForCharacter(c);
    }
    for (const Key key : {Key::Space, Key::Del, Key::Enter, Key::Back})
        if (name == scriptName(key))
            return key;
    return std::nullopt;
}

std::optional<Keyboard::Key> Keyboard::keyForCharacter(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return static_cast<Key>(static_cast<int>(Key::K0) + (u - '0'));
    const char16_t upper = c.toUpper().unicode();
    if (upper >= 'A' && upper <= 'Z' && (u == upper || u == upper + 0x20))
        return static_cast<Key>(static_cast<int>(Key::A) + (upper - 'A'));
    switch (u) {
    case ',': return Key::Virgula;
    case '.': return Key::Ponto;
    case ' ': return Key::Space;
    case '\r':
    case '\n': return Key::Enter;
    case '\b': return Key::Back;
    case 0x7F: return Key::Del;
    default: return std::nullopt;
    }
}

QChar Keyboard::typedCharacter(Key key)
{
    if (isDigitKey(key))
        return QLatin1Char(char('0' + digitOf(key)));
    if (isLetterKey(key))
        return QLatin1Char(letterOf(key));
    switch (key) {
    case Key::Space: return QLatin1Char(' ');
    case Key::Virgula: return QLatin1Char(',');
    case Key::Ponto: return QLatin1Char('.');
    case Key::Del: return QChar(0x7F);
    case Key::Enter: return QLatin1Char('\r');
    default: return QLatin1Char('\b');
    }
}
