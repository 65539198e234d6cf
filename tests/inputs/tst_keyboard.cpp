#include "common/recorders.h"
#include "inputs/keyboard.h"

#include <QTest>
#include <QTimer>

using Key = Keyboard::Key;

namespace {

const QByteArray kEsc("\x1b", 1);

QByteArray frame(char c)
{
    return QByteArray("\x02" "00") + c + '\x03';
}

Key digitKey(int d)
{
    return static_cast<Key>(static_cast<int>(Key::K0) + d);
}

Key letterKey(char upper)
{
    return static_cast<Key>(static_cast<int>(Key::A) + (upper - 'A'));
}

// Key sequences of the prefix tests: a key, or "-" for the host clearing function-key mode.
QList<Key> keysOf(const QByteArray &spec, TerminalState &state, Keyboard &keyboard)
{
    QList<Key> keys;
    for (const char c : spec) {
        if (c == '-') {
            state.functionKeyMode = false;
            continue;
        }
        const Key key = c == '.' ? Key::Ponto : (c >= '0' && c <= '9') ? digitKey(c - '0') : letterKey(c);
        keyboard.pressKey(key);
        keys.append(key);
    }
    return keys;
}

} // namespace

class TestKeyboard : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        state = TerminalState();
        state.barcodeCharDelay = 0;
        sender.sends.clear();
        focusReturns = 0;
    }

    void encodingTable_data()
    {
        QTest::addColumn<Key>("key");
        QTest::addColumn<QByteArray>("vt100");
        QTest::addColumn<QByteArray>("zorvane");
        for (int d = 0; d <= 9; ++d) {
            const QByteArray digit(1, static_cast<char>('0' + d));
            QTest::addRow("Bt%d", d) << digitKey(d) << digit << digit;
        }
        for (char c = 'A'; c <= 'Z'; ++c)
            QTest::addRow("Bt%c", c) << letterKey(c) << QByteArray(1, static_cast<char>(c + 32)) << QByteArray(1, c);
        QTest::newRow("BtSpace") << Key::Space << QByteArray(" ") << QByteArray(" ");
        QTest::newRow("BtVirgula") << Key::Virgula << QByteArray(",") << QByteArray(",");
        QTest::newRow("BtPonto") << Key::Ponto << QByteArray(".") << QByteArray(".");
        QTest::newRow("BtDel") << Key::Del << kEsc << QByteArray("\x7f");
        QTest::newRow("BtEnter") << Key::Enter << QByteArray("\r") << QByteArray("\r");
        QTest::newRow("BtBack") << Key::Back << QByteArray("\b") << QByteArray("\b");
    }

    // Every key in both columns, one send each, the focus handed back once.
    void encodingTable()
    {
        QFETCH(Key, key);
        QFETCH(QByteArray, vt100);
        QFETCH(QByteArray, zorvane);
        Keyboard keyboard(state, sender);
        keyboard.setFocusReturn([this] { ++focusReturns; });
        const QList<std::pair<int, QByteArray>> protocols{
            {TerminalState::kVt100, vt100}, {TerminalState::kTelnet, vt100}, {TerminalState::kZorvane, zorvane}};
        for (const auto &[protocol, expected] : protocols) {
            state.protocolKind = protocol;
            sender.sends.clear();
            keyboard.pressKey(key);
            QCOMPARE(sender.sends, QList<QByteArray>{expected});
        }
        QCOMPARE(focusReturns, 3);
        QVERIFY(!keyboard.FunctionPrefixArmed());
    }

    void namesAndCaptions()
    {
        QSet<QString> names;
        for (const Key key : Keyboard::allKeys())
            names.insert(Keyboard::componentName(key));
        QCOMPARE(names.size(), Keyboard::kKeyCount);
        QCOMPARE(Keyboard::componentName(Key::K0), QStringLiteral("Bt0"));
        QCOMPARE(Keyboard::componentName(Key::Z), QStringLiteral("BtZ"));
        QCOMPARE(Keyboard::componentName(Key::Virgula), QStringLiteral("BtVirgula"));
        QCOMPARE(Keyboard::caption(Key::K7), QStringLiteral("&7"));
        QCOMPARE(Keyboard::caption(Key::Q), QStringLiteral("&Q"));
        QCOMPARE(Keyboard::caption(Key::Ponto), QStringLiteral("&."));
        QCOMPARE(Keyboard::caption(Key::Back), QString());
    }

    void comutadoraFrames()
    {
        state.protocolKind = TerminalState::kZorvane;
        state.comutadoraMode = true;
        Keyboard keyboard(state, sender);
        keyboard.pressKey(Key::K5);
        keyboard.pressKey(Key::Del);
        keyboard.pressKey(Key::Enter);
        QCOMPARE(sender.sends, (QList<QByteArray>{frame('5'), frame('\x7f'), frame('\r')}));

        sender.sends.clear();
        state.functionKeyMode = true;
        keyboard.pressKey(Key::Ponto);
        keyboard.pressKey(Key::K1);
        QCOMPARE(sender.sends, (QList<QByteArray>{frame('\x1b'), frame('O'), frame('P')}));
    }

    void prefixTransitions_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QByteArray>("keys");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<bool>("armedAfter");
        const int vt = TerminalState::kVt100;
        const int zo = TerminalState::kZorvane;
        QTest::newRow("point then 1, then 1 again") << vt << QByteArray(".11") << kEsc + "OP1" << false;
        QTest::newRow("a letter keeps the prefix") << vt << QByteArray(".A2") << "a" + kEsc + "OQ" << false;
        QTest::newRow("armed before host clears the mode") << vt << QByteArray(".-3") << kEsc + "OR" << false;
        QTest::newRow("second point sends nothing") << vt << QByteArray("..9") << kEsc + "Ow" << false;
        QTest::newRow("point alone only arms") << vt << QByteArray(".") << QByteArray() << true;
        QTest::newRow("J in VT100 sends LF and disarms") << vt << QByteArray(".J1") << QByteArray("\n1") << false;
        QTest::newRow("J in Telnet sends LF and disarms") << int(TerminalState::kTelnet) << QByteArray(".J")
                                                          << QByteArray("\n") << false;
        QTest::newRow("J in Zorvane keeps the prefix") << zo << QByteArray(".J1") << "J" + kEsc + "OP" << false;
        QTest::newRow("unarmed J in VT100") << vt << QByteArray("J") << QByteArray("j") << false;
        QTest::newRow("after the mode is cleared the point is a point") << vt << QByteArray("-.") << QByteArray(".")
                                                                       << false;
        const char suffixes[] = "xPQRStuvlw";
        for (int d = 0; d <= 9; ++d)
            QTest::addRow("function key %d", d) << zo << QByteArray(".") + char('0' + d) << kEsc + 'O' + suffixes[d]
                                                 << false;
    }

    // Function-key mode is on at the start of each row.
    void prefixTransitions()
    {
        QFETCH(int, protocol);
        QFETCH(QByteArray, keys);
        QFETCH(QByteArray, sent);
        QFETCH(bool, armedAfter);
        state.protocolKind = protocol;
        state.functionKeyMode = true;
        state.connectionRole = TerminalState::kServer;
        Keyboard keyboard(state, sender);
        keyboard.setFocusReturn([this] { ++focusReturns; });
        keysOf(keys, state, keyboard);
        QCOMPARE(sender.all(), sent);
        QCOMPARE(keyboard.FunctionPrefixArmed(), armedAfter);
        if (keys == ".")
            QCOMPARE(focusReturns, 0);
    }

    // In the Client role the armed sequence leaves in one piece; in the Server role byte by byte.
    void functionSequenceByRole()
    {
        state.protocolKind = TerminalState::kVt100;
        state.functionKeyMode = true;
        Keyboard keyboard(state, sender);
        keyboard.setFocusReturn([this] { ++focusReturns; });

        state.connectionRole = TerminalState::kClient;
        keyboard.pressKey(Key::Ponto);
        keyboard.pressKey(Key::K8);
        QCOMPARE(sender.sends, QList<QByteArray>{kEsc + "Ol"});

        sender.sends.clear();
        state.connectionRole = TerminalState::kServer;
        keyboard.pressKey(Key::Ponto);
        keyboard.pressKey(Key::K8);
        QCOMPARE(sender.sends, (QList<QByteArray>{kEsc, "O", "l"}));
        QCOMPARE(focusReturns, 2);

        // Outside the armed prefix a Client-role string still goes out byte by byte.
        sender.sends.clear();
        state.connectionRole = TerminalState::kClient;
        keyboard.SendKeyString("abcd");
        QCOMPARE(sender.sends, (QList<QByteArray>{"a", "b", "c", "d"}));
    }

    // The pauses keep the event loop running: work queued meanwhile goes out
    // between the string's characters, and the caller may change its text freely.
    void stringPausesRunEvents()
    {
        state.barcodeCharDelay = 5;
        Keyboard keyboard(state, sender);
        QByteArray text("123");
        QTimer::singleShot(0, [&] {
            keyboard.SendKey('x');
            text = "zzzz";
        });
        keyboard.SendKeyString(text);
        QCOMPARE(sender.all(), QByteArray("1x23"));
    }

    void pcKeys_data()
    {
        QTest::addColumn<int>("qtKey");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<int>("key"); // -1: nothing
        const int keypad = Qt::KeypadModifier;
        QTest::newRow("backspace") << int(Qt::Key_Backspace) << 0 << int(Key::Back);
        QTest::newRow("return") << int(Qt::Key_Return) << 0 << int(Key::Enter);
        QTest::newRow("keypad enter") << int(Qt::Key_Enter) << keypad << int(Key::Enter);
        QTest::newRow("escape") << int(Qt::Key_Escape) << 0 << int(Key::Del);
        QTest::newRow("delete") << int(Qt::Key_Delete) << 0 << int(Key::Del);
        QTest::newRow("space") << int(Qt::Key_Space) << 0 << int(Key::Space);
        QTest::newRow("0") << int(Qt::Key_0) << 0 << int(Key::K0);
        QTest::newRow("keypad 7") << int(Qt::Key_7) << keypad << int(Key::K7);
        QTest::newRow("shifted letter") << int(Qt::Key_A) << int(Qt::ShiftModifier) << int(Key::A);
        QTest::newRow("ctrl+alt Z") << int(Qt::Key_Z) << int(Qt::ControlModifier | Qt::AltModifier) << int(Key::Z);
        QTest::newRow("comma") << int(Qt::Key_Comma) << 0 << int(Key::Virgula);
        QTest::newRow("keypad decimal") << int(Qt::Key_Period) << keypad << int(Key::Virgula);
        QTest::newRow("period") << int(Qt::Key_Period) << 0 << int(Key::Ponto);
        QTest::newRow("F1") << int(Qt::Key_F1) << 0 << -1;
        QTest::newRow("cursor left") << int(Qt::Key_Left) << 0 << -1;
        QTest::newRow("shift alone") << int(Qt::Key_Shift) << int(Qt::ShiftModifier) << -1;
    }

    void pcKeys()
    {
        QFETCH(int, qtKey);
        QFETCH(int, modifiers);
        QFETCH(int, key);
        const auto mapped = Keyboard::keyForPcKey(qtKey, Qt::KeyboardModifiers(modifiers));
        QCOMPARE(mapped ? static_cast<int>(*mapped) : -1, key);
    }

private:
    TerminalState state;
    RecordingSender sender;
    int focusReturns = 0;
};

QTEST_GUILESS_MAIN(TestKeyboard)
#include "tst_keyboard.moc"
