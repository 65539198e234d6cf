#include "link/telnet_decoder.h"

#include <QtTest>

// The decoder's answers and the data it hands on, fed as whole reads, split at
// every byte boundary, and past its subnegotiation bound.
class TelnetDecoderTest : public QObject
{
    Q_OBJECT

    QList<QByteArray> answers;
    QByteArray terminalType = "vt100";
    TelnetDecoder makeDecoder()
    {
        return TelnetDecoder([this](const QByteArray &a) { answers.append(a); },
                             [this] { return terminalType; });
    }

    static QByteArray hex(const char *text) { return QByteArray::fromHex(text); }

private slots:
    void init()
    {
        answers.clear();
        terminalType = "vt100";
    }

    void optionAnswers_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QList<QByteArray>>("expected");
        const QList<QByteArray> none;
        const QByteArray location = hex("FFFA17") + "Drumel" + hex("FFF0");
        struct Row {
            const char *name;
            const char *request;
            QList<QByteArray> expected;
        };
        const Row rows[] = {
            {"WILL TRANSMIT-BINARY", "FFFB00", {hex("FFFD00")}},
            {"WONT TRANSMIT-BINARY", "FFFC00", none},
            {"DO TRANSMIT-BINARY", "FFFD00", none},
            {"DONT TRANSMIT-BINARY", "FFFE00", none},
            {"WILL ECHO", "FFFB01", {hex("FFFD01")}},
            {"WONT ECHO", "FFFC01", none},
            {"DO ECHO", "FFFD01", none},
            {"DONT ECHO", "FFFE01", none},
            {"WILL SUPPRESS-GO-AHEAD", "FFFB03", {hex("FFFD03")}},
            {"WONT SUPPRESS-GO-AHEAD", "FFFC03", none},
            {"DO SUPPRESS-GO-AHEAD", "FFFD03", none},
            {"DONT SUPPRESS-GO-AHEAD", "FFFE03", none},
            {"WILL SEND-LOCATION", "FFFB17", none},
            {"WONT SEND-LOCATION", "FFFC17", none},
            {"DO SEND-LOCATION", "FFFD17", {hex("FFFB17"), location}},
            {"DONT SEND-LOCATION", "FFFE17", none},
            {"WILL TERMINAL-TYPE", "FFFB18", none},
            {"WONT TERMINAL-TYPE", "FFFC18", none},
            {"DO TERMINAL-TYPE", "FFFD18", {hex("FFFB18")}},
            {"DONT TERMINAL-TYPE", "FFFE18", none},
            {"WILL END-OF-RECORD", "FFFB19", none},
            {"WONT END-OF-RECORD", "FFFC19", none},
            {"DO END-OF-RECORD", "FFFD19", {hex("FFFB19")}},
            {"DONT END-OF-RECORD", "FFFE19", none},
            {"WILL other", "FFFB05", {hex("FFFE05")}},
            {"WONT other", "FFFC05", {hex("FFFC05")}},
            {"DO other", "FFFD05", {hex("FFFC05")}},
            {"DONT other", "FFFE05", {hex("FFFC05")}},
            // Option codes that look like commands are still options after a verb.
            {"DO 0xFF", "FFFDFF", {hex("FFFCFF")}},
            {"WILL 0xF0", "FFFBF0", {hex("FFFEF0")}},
        };
        for (const Row &row : rows)
            QTest::newRow(row.name) << hex(row.request) << row.expected;
    }

    void optionAnswers()
    {
        QFETCH(QByteArray, request);
        QFETCH(QList<QByteArray>, expected);
        TelnetDecoder decoder = makeDecoder();
        // Asked twice: nothing is remembered between requests.
        const QByteArray decoded = decoder.feed("a" + request + "b" + request);
        QCOMPARE(decoded, QByteArray("ab"));
        QCOMPARE(answers, expected + expected);
        QCOMPARE(decoder.state(), TelnetDecoder::State::Data);
        QCOMPARE(decoder.PendingVerb(), 0);
    }

    void decoding_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QByteArray>("decoded");
        QTest::addColumn<QList<QByteArray>>("expected");
        const QList<QByteArray> none;
        const QByteArray typeAnswer = hex("FFFA18007674313030FFF0");

        QTest::newRow("plain data") << QByteArray("hello\r\n") << QByteArray("hello\r\n") << none;
        QTest::newRow("IAC IAC") << hex("4142FFFF43") << hex("4142FF43") << none;
        QTest::newRow("IAC NOP") << hex("4142FFF143") << hex("414243") << none;
        QTest::newRow("IAC GA, IAC EOR, stray IAC SE, IAC below EOR")
            << hex("41FFF942FFEF43FFF044FF0545") << QByteArray("ABCDE") << none;
        QTest::newRow("terminal type asked")
            << hex("FFFD18FFFA1801FFF0") << QByteArray() << QList{hex("FFFB18"), typeAnswer};
        QTest::newRow("empty subnegotiation IAC SB IAC SE")
            << hex("41FFFAFFF042") << QByteArray("AB") << none;
        QTest::newRow("empty subnegotiation IAC SB SE") << hex("41FFFAF042") << QByteArray("AB") << none;
        QTest::newRow("other subnegotiation ignored") << hex("FFFA1800FFF041") << QByteArray("A") << none;
        QTest::newRow("terminal type IS from host ignored") << hex("FFFA2001FFF0") << QByteArray() << none;
        // SE ends a subnegotiation with or without the IAC before it.
        QTest::newRow("bare SE ends subnegotiation")
            << hex("FFFA1801F041") << QByteArray("A") << QList{typeAnswer};
        // Inside a subnegotiation IAC IAC is kept as two bytes, so the buffer no longer starts 18 01.
        QTest::newRow("IAC IAC inside subnegotiation")
            << hex("FFFAFFFF1801FFF041") << QByteArray("A") << none;
        QTest::newRow("data bytes F0..FE outside commands") << hex("F0F1FAFBFE") << hex("F0F1FAFBFE") << none;
    }

    void decoding()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QByteArray, decoded);
        QFETCH(QList<QByteArray>, expected);

        TelnetDecoder whole = makeDecoder();
        QCOMPARE(whole.feed(stream), decoded);
        QCOMPARE(answers, expected);
        QCOMPARE(whole.state(), TelnetDecoder::State::Data);
        QVERIFY(whole.SubnegotiationBuffer().isEmpty());

        // Split into two reads at every point, then one byte per read: the same outcome.
        for (qsizetype cut = 0; cut <= stream.size(); ++cut) {
            answers.clear();
            TelnetDecoder split = makeDecoder();
            QByteArray out = split.feed(stream.left(cut));
            out += split.feed(stream.mid(cut));
            QVERIFY2(out == decoded && answers == expected, qPrintable(QStringLiteral("cut at %1").arg(cut)));
        }
        answers.clear();
        TelnetDecoder bytewise = makeDecoder();
        QByteArray out;
        for (const char c : stream)
            out += bytewise.feed(QByteArray(1, c));
        QCOMPARE(out, decoded);
        QCOMPARE(answers, expected);
    }

    void stateCarriesOverAndResets()
    {
        TelnetDecoder decoder = makeDecoder();
        decoder.feed(hex("41FFFD"));
        QCOMPARE(decoder.state(), TelnetDecoder::State::AfterVerb);
        QCOMPARE(decoder.PendingVerb(), 0xFD);
        decoder.feed(hex("18FFFA18"));
        QCOMPARE(decoder.SubnegotiationBuffer(), hex("18"));
        decoder.reset();
        QCOMPARE(decoder.state(), TelnetDecoder::State::Data);
        QVERIFY(decoder.SubnegotiationBuffer().isEmpty());
        QCOMPARE(decoder.feed(hex("0142")), hex("0142"));

        // The terminal type is read when the answer is made; a 0xFF in it is doubled.
        terminalType = hex("78FF79");
        decoder.feed(hex("FFFA1801FFF0"));
        QCOMPARE(answers.last(), hex("FFFA180078FFFF79FFF0"));
    }

    void subnegotiationWithoutEndIsBounded()
    {
        TelnetDecoder decoder = makeDecoder();
        decoder.feed(hex("FFFA1801"));
        const QByteArray flood(64 * 1024, 'x');
        for (int i = 0; i < 16; ++i)
            QCOMPARE(decoder.feed(flood), QByteArray());
        QCOMPARE(decoder.state(), TelnetDecoder::State::Subnegotiation);
        QCOMPARE(decoder.SubnegotiationBuffer().size(), TelnetDecoder::kMaxSubnegotiation);
        QVERIFY(decoder.SubnegotiationBuffer().startsWith(hex("1801")));
        QVERIFY(answers.isEmpty());

        // SE still ends it, and what was kept is handled as usual.
        QCOMPARE(decoder.feed(hex("FFF0") + "after"), QByteArray("after"));
        QCOMPARE(answers.size(), 1);
        QVERIFY(decoder.SubnegotiationBuffer().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TelnetDecoderTest)
#include "tst_telnet_decoder.moc"
