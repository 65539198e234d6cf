#include "engine/cp1252.h"
#include "engine/errors.h"
#include "engine/prompts.h"

#include "common/recorders.h"

#include <QTest>

class TestErrors : public QObject {
    Q_OBJECT
private slots:
    void strToIntAcceptsBlanksAndSign_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("value");
        QTest::newRow("plain") << QByteArray("12") << 12;
        QTest::newRow("leading zero") << QByteArray("02") << 2;
        QTest::newRow("leading blanks") << QByteArray("  7") << 7;
        QTest::newRow("plus") << QByteArray("+5") << 5;
        QTest::newRow("minus") << QByteArray("-5") << -5;
        QTest::newRow("blank then sign") << QByteArray(" -1") << -1;
        QTest::newRow("max") << QByteArray("2147483647") << 2147483647;
        QTest::newRow("min") << QByteArray("-2147483648") << int(-2147483647 - 1);
    }
    void strToIntAcceptsBlanksAndSign()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, value);
        QCOMPARE(StrToInt(text), value);
    }

    void strToIntRejects_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("blank") << QByteArray(" ");
        QTest::newRow("sign only") << QByteArray("-");
        QTest::newRow("letters") << QByteArray("ab");
        QTest::newRow("trailing blank") << QByteArray("1 ");
        QTest::newRow("overflow") << QByteArray("2147483648");
        QTest::newRow("negative overflow") << QByteArray("-2147483649");
        QTest::newRow("long digit run") << QByteArray(10000, '9');
        QTest::newRow("semicolon") << QByteArray("1;");
    }
    void strToIntRejects()
    {
        QFETCH(QByteArray, text);
        try {
            StrToInt(text);
            QFAIL("no error");
        } catch (const ConversionError &error) {
            QCOMPARE(error.offendingText(), text);
            QVERIFY(error.text().endsWith(QStringLiteral("' is not a valid integer value")));
        }
    }

    void generalReportAddsFullStopAfterLettersOnly()
    {
        RecordingPrompts prompts;
        QVERIFY(!guarded(prompts, [] { StrToInt(QByteArray("x1")); }));
        QCOMPARE(prompts.messages.size(), 1);
        QCOMPARE(prompts.messages[0].caption, QStringLiteral("Ethernet"));
        QCOMPARE(prompts.messages[0].text, QStringLiteral("'x1' is not a valid integer value."));
        QCOMPARE(prompts.messages[0].icon, Prompts::Icon::Error);
        QCOMPARE(errorReportText(QStringLiteral("Done.")), QStringLiteral("Done."));
        QCOMPARE(errorReportText(QStringLiteral("Erro!")), QStringLiteral("Erro!"));
        QCOMPARE(errorReportText(QStringLiteral("port 9")), QStringLiteral("port 9."));
    }

    void silentAbortShowsNothing()
    {
        RecordingPrompts prompts;
        QVERIFY(!guarded(prompts, [] { throw SilentAbort(); }));
        QVERIFY(prompts.messages.isEmpty());
        QVERIFY(guarded(prompts, [] {}));
    }

    void cp1252RoundTripsEveryByte()
    {
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all.append(static_cast<char>(b));
        QCOMPARE(toCp1252(fromCp1252(all)), all);
        QCOMPARE(fromCp1252(QByteArray("\x80", 1)), QString(QChar(0x20AC)));
        QCOMPARE(toCp1252(QStringLiteral("Conexão")), QByteArray("Conex\xE3o"));
    }
};

QTEST_GUILESS_MAIN(TestErrors)
#include "tst_errors.moc"
