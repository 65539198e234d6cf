#include "common/recorders.h"
#include "inputs/digital_inputs.h"

#include <QTest>

class TestDigitalInputs : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        state = TerminalState();
        sender.sends.clear();
    }

    // "@" and the state byte as two sends; the bits accumulate and clear per box.
    void inputReports()
    {
        Keyboard keyboard(state, sender);
        DigitalInputs inputs(state, keyboard, sender);
        int focusReturns = 0;
        keyboard.setFocusReturn([&] { ++focusReturns; });

        inputs.inputClicked(1, true);
        inputs.inputClicked(3, true);
        inputs.inputClicked(1, false);
        QCOMPARE(sender.sends, (QList<QByteArray>{"@", "2", "@", ":", "@", "8"}));
        QCOMPARE(focusReturns, 6);

        sender.sends.clear();
        inputs.inputClicked(0, true);
        inputs.inputClicked(2, true);
        inputs.inputClicked(1, true);
        QCOMPARE(inputs.InputState(), '?');
        inputs.inputClicked(1, false);
        QCOMPARE(sender.sends.last(), QByteArray("=")); // inputs 0, 2 and 3
        QVERIFY(inputs.isInputOn(2) && !inputs.isInputOn(1));

        // Ticking and unticking the same box twice reports both changes.
        sender.sends.clear();
        inputs.inputClicked(0, false);
        inputs.inputClicked(0, true);
        QCOMPARE(sender.sends, (QList<QByteArray>{"@", "<", "@", "="}));

        inputs.resetForNewWindow();
        QCOMPARE(inputs.InputState(), '0');
        sender.sends.clear();
        inputs.inputClicked(4, true);
        inputs.inputClicked(-1, true);
        QVERIFY(sender.sends.isEmpty());
    }

    void comutadoraInputReport()
    {
        state.comutadoraMode = true;
        state.protocolKind = TerminalState::kZorvane;
        Keyboard keyboard(state, sender);
        DigitalInputs inputs(state, keyboard, sender);
        inputs.inputClicked(0, true);
        QCOMPARE(sender.sends, (QList<QByteArray>{"\x02" "00@\x03", "\x02" "001\x03"}));
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
        Keyboard keyboard(state, sender);
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
    TerminalState state;
    RecordingSender sender;
};

QTEST_GUILESS_MAIN(TestDigitalInputs)
#include "tst_digital_inputs.moc"
