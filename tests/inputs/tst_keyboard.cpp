#include "common/recorders.h"
#include "inputs/digital_inputs.h"
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

Key keyFor(char c)
{
    if (c >= '0' && c <= '9')
        return static_cast<Key>(static_cast<int>(Key::K0) + (c - '0'));
    if (c >= 'A' && c <= 'Z')
        return static_cast<Key>(static_cast<int>(Key::A) + (c - 'A'));
    return c == '.' ? Key::Ponto : c == ' ' ? Key::Space : c == ',' ? Key::Virgula : c == 'D' ? Key::Del : Key::Enter;
}

} // namespace

// Key encoding, the function prefix, the two send operations and the input and status frames.
class TestKeyboard : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        state = TerminalState();
        state.barcodeCharDelay = 0;
        sender.sends.clear();
    }

    void encodingTable_data()
    {
        QTest::addColumn<Key>("key");
        QTest::addColumn<QByteArray>("vt100");
        QTest::addColumn<QByteArray>("zorvane");
        for (char c = '0'; c <= '9'; ++c)
            QTest::addRow("Bt%c", c) << keyFor(c) << QByteArray(1, c) << QByteArray(1, c);
        for (char c = 'A'; c <= 'Z'; ++c)
            QTest::addRow("Bt%c", c) << keyFor(c) << QByteArray(1, static_cast<char>(c + 32)) << QByteArray(1, c);
        QTest::newRow("BtSpace") << Key::Space << QByteArray(" ") << QByteArray(" ");
        QTest::newRow("BtVirgula") << Key::Virgula << QByteArray(",") << QByteArray(",");
        QTest::newRow("BtPonto") << Key::Ponto << QByteArray(".") << QByteArray(".");
        QTest::newRow("BtDel") << Key::Del << kEsc << QByteArray("\x7f");
        QTest::newRow("BtEnter") << Key::Enter << QByteArray("\r") << QByteArray("\r");
        QTest::newRow("BtBack") << Key::Back << QByteArray("\b") << QByteArray("\b");
    }

    // Every key in both columns, one send each, the focus handed back each time.
    void encodingTable()
    {
        QFETCH(Key, key);
        QFETCH(QByteArray, vt100);
        QFETCH(QByteArray, zorvane);
        Keyboard keyboard(state, sender, operations);
        int focusReturns = 0;
        keyboard.setFocusReturn([&] { ++focusReturns; });
        for (const int protocol : {TerminalState::kVt100, TerminalState::kTelnet, TerminalState::kZorvane}) {
            state.protocolKind = protocol;
            sender.sends.clear();
            run(keyboard.pressKey(key));
            QCOMPARE(sender.sends, QList<QByteArray>{protocol == TerminalState::kZorvane ? zorvane : vt100});
        }
        QCOMPARE(focusReturns, 3);
    }

    void prefixTransitions_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QByteArray>("keys"); // "-": the host clears function-key mode
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<bool>("armedAfter");
        const int vt = TerminalState::kVt100;
        const int zo = TerminalState::kZorvane;
        QTest::newRow("point, 1, 1") << vt << QByteArray(".11") << kEsc + "OP1" << false;
        QTest::newRow("a letter keeps the prefix") << vt << QByteArray(".A2") << "a" + kEsc + "OQ" << false;
        QTest::newRow("armed before the mode is cleared") << vt << QByteArray(".-3") << kEsc + "OR" << false;
        QTest::newRow("second point sends nothing") << vt << QByteArray("..9") << kEsc + "Ow" << false;
        QTest::newRow("point alone only arms") << vt << QByteArray(".") << QByteArray() << true;
        QTest::newRow("VT100 J sends LF, disarms") << vt << QByteArray(".J1") << QByteArray("\n1") << false;
        QTest::newRow("Telnet J sends LF") << int(TerminalState::kTelnet) << QByteArray(".J") << QByteArray("\n") << false;
        QTest::newRow("Zorvane J keeps the prefix") << zo << QByteArray(".J1") << "J" + kEsc + "OP" << false;
        QTest::newRow("mode off: a point") << vt << QByteArray("-.") << QByteArray(".") << false;
        const char suffixes[] = "xPQRStuvlw";
        for (int d = 0; d <= 9; ++d)
            QTest::addRow("function key %d", d) << zo << QByteArray(".") + char('0' + d) << kEsc + 'O' + suffixes[d]
                                                 << false;
    }

    void prefixTransitions()
    {
        QFETCH(int, protocol);
        QFETCH(QByteArray, keys);
        QFETCH(QByteArray, sent);
        QFETCH(bool, armedAfter);
        state.protocolKind = protocol;
        state.functionKeyMode = true;
        state.connectionRole = TerminalState::kServer;
        Keyboard keyboard(state, sender, operations);
        int focusReturns = 0;
        keyboard.setFocusReturn([&] { ++focusReturns; });
        for (const char c : keys) {
            if (c == '-')
                state.functionKeyMode = false;
            else
                run(keyboard.pressKey(keyFor(c)));
        }
        QCOMPARE(sender.all(), sent);
        QCOMPARE(keyboard.FunctionPrefixArmed(), armedAfter);
        if (sent.isEmpty())
            QCOMPARE(focusReturns, 0);
    }

    // Client role: the armed sequence in one send. Server role: three. Comutadora: three frames.
    void functionSequenceSends()
    {
        state.protocolKind = TerminalState::kVt100;
        state.functionKeyMode = true;
        Keyboard keyboard(state, sender, operations);
        const auto pointThen8 = [&] {
            sender.sends.clear();
            run(keyboard.pressKey(Key::Ponto));
            run(keyboard.pressKey(Key::K8));
            return sender.sends;
        };
        state.connectionRole = TerminalState::kClient;
        QCOMPARE(pointThen8(), QList<QByteArray>{kEsc + "Ol"});
        state.connectionRole = TerminalState::kServer;
        QCOMPARE(pointThen8(), (QList<QByteArray>{kEsc, "O", "l"}));
        state.comutadoraMode = true;
        state.connectionRole = TerminalState::kClient;
        QCOMPARE(pointThen8(), (QList<QByteArray>{frame('\x1b'), frame('O'), frame('l')}));

        sender.sends.clear();
        state.protocolKind = TerminalState::kZorvane;
        run(keyboard.pressKey(Key::K5));
        run(keyboard.pressKey(Key::Del));
        QCOMPARE(sender.sends, (QList<QByteArray>{frame('5'), frame('\x7f')}));

        // Unarmed, a Client-role string goes out byte by byte.
        state.comutadoraMode = false;
        sender.sends.clear();
        run(keyboard.SendKeyString("abcd"));
        QCOMPARE(sender.sends, (QList<QByteArray>{"a", "b", "c", "d"}));
    }

    // The pauses run the event loop: work queued meanwhile goes out between the
    // characters, and the caller's text may change without harm.
    void stringPausesRunEvents()
    {
        state.barcodeCharDelay = 5;
        Keyboard keyboard(state, sender, operations);
        QByteArray text("123");
        QTimer::singleShot(0, [&] {
            keyboard.SendKey('x');
            text = "zzzz";
        });
        run(keyboard.SendKeyString(text));
        QCOMPARE(sender.all(), QByteArray("1x23"));
    }

    void pcKeys()
    {
        const int keypad = Qt::KeypadModifier;
        const QList<std::tuple<int, int, std::optional<Key>>> table{
            {Qt::Key_Backspace, 0, Key::Back},   {Qt::Key_Return, 0, Key::Enter},
            {Qt::Key_Enter, keypad, Key::Enter}, {Qt::Key_Escape, 0, Key::Del},
            {Qt::Key_Delete, 0, Key::Del},       {Qt::Key_Space, 0, Key::Space},
            {Qt::Key_0, 0, Key::K0},             {Qt::Key_7, keypad, Key::K7},
            {Qt::Key_A, Qt::ShiftModifier, Key::A}, {Qt::Key_Z, Qt::ControlModifier | Qt::AltModifier, Key::Z},
            {Qt::Key_Comma, 0, Key::Virgula},    {Qt::Key_Period, keypad, Key::Virgula},
            {Qt::Key_Period, 0, Key::Ponto},     {Qt::Key_F1, 0, std::nullopt},
            {Qt::Key_Left, 0, std::nullopt},     {Qt::Key_Shift, Qt::ShiftModifier, std::nullopt}};
        for (const auto &[qtKey, modifiers, key] : table)
            QVERIFY2(Keyboard::keyForPcKey(qtKey, Qt::KeyboardModifiers(modifiers)) == key,
                     qPrintable(QString::number(qtKey, 16)));
    }

    void inputReports()
    {
        Keyboard keyboard(state, sender, operations);
        DigitalInputs inputs(state, keyboard, sender);
        inputs.inputClicked(1, true);
        inputs.inputClicked(3, true);
        inputs.inputClicked(1, false);
        inputs.inputClicked(1, true);
        QCOMPARE(sender.sends, (QList<QByteArray>{"@", "2", "@", ":", "@", "8", "@", ":"}));
        inputs.inputClicked(0, true);
        inputs.inputClicked(2, true);
        QCOMPARE(inputs.InputState(), '?');
        inputs.inputClicked(4, true);
        QCOMPARE(sender.sends.size(), 12);

        sender.sends.clear();
        state.comutadoraMode = true;
        inputs.resetForNewWindow();
        inputs.inputClicked(0, true);
        QCOMPARE(sender.sends, (QList<QByteArray>{frame('@'), frame('1')}));
    }

    void statusReport_data()
    {
        QTest::addColumn<bool>("busy");
        QTest::addColumn<bool>("cts");
        QTest::addColumn<bool>("comutadora");
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("neither") << false << false << false << QByteArray("\x02\x1b\x80T\x03");
        QTest::newRow("busy") << true << false << false << QByteArray("\x02\x1b\xa0T\x03");
        QTest::newRow("cts") << false << true << false << QByteArray("\x02\x1b\x88T\x03");
        QTest::newRow("both, comutadora") << true << true << true << QByteArray("\x02\x1b" "00\xa8T\x03");
    }

    // One send, the same in every protocol, the focus left alone.
    void statusReport()
    {
        QFETCH(bool, busy);
        QFETCH(bool, cts);
        QFETCH(bool, comutadora);
        QFETCH(QByteArray, frame);
        state.busy = busy;
        state.cts = cts;
        state.comutadoraMode = comutadora;
        Keyboard keyboard(state, sender, operations);
        bool focused = false;
        keyboard.setFocusReturn([&] { focused = true; });
        DigitalInputs inputs(state, keyboard, sender);
        for (const int protocol : {TerminalState::kVt100, TerminalState::kZorvane}) {
            state.protocolKind = protocol;
            sender.sends.clear();
            inputs.StatusReport();
            QCOMPARE(sender.sends, QList<QByteArray>{frame});
        }
        QVERIFY(!focused);
    }

private:
    void run(Operation work) { QVERIFY(runToEnd(operations, std::move(work)).has_value()); }

    TerminalState state;
    RecordingSender sender;
    RecordingPrompts prompts;
    OperationStack operations{prompts};
};

QTEST_GUILESS_MAIN(TestKeyboard)
#include "tst_keyboard.moc"
