#include "conversation/conversation_file.h"
#include "conversation/junit_report.h"
#include "conversation/mismatch_report.h"
#include "conversation/recorder.h"

#include <QJsonArray>
#include <QTest>

using namespace conversation;

// The conversation file's pieces without a terminal: matching, the recorder's
// lines, the report's marks and diff, the updated copy and JUnit XML.
class TestConversation : public QObject
{
    Q_OBJECT

    static Step expectation(const QByteArray &line)
    {
        QString error;
        const auto read = parse("{\"conversation\":1,\"program\":\"ethernet\"}\n" + line + '\n', QStringLiteral("t"),
                                &error);
        if (!read)
            qFatal("%s", qPrintable(error));
        return read->steps.at(0);
    }

    static Screen screen(const QStringList &display, const QStringList &printer = {})
    {
        return {display, QStringList(4, QStringLiteral("#000000")), printer, {}};
    }

private slots:
    void matching_data()
    {
        QTest::addColumn<QByteArray>("expect");
        QTest::addColumn<bool>("holds");
        QTest::newRow("exact") << QByteArray(R"({"expect":{"display":["MENU","1 Peso"]}})") << true;
        QTest::newRow("exact, trailing space differs") << QByteArray(R"({"expect":{"display":["MENU ","1 Peso"]}})") << false;
        QTest::newRow("regex whole value") << QByteArray(R"({"expect":{"display":[{"re":"ME.U"},"1 Peso"]}})") << true;
        QTest::newRow("regex part only") << QByteArray(R"({"expect":{"display":[{"re":"MEN"},"1 Peso"]}})") << false;
        QTest::newRow("any line") << QByteArray(R"({"expect":{"display":[{"any":true},{"any":true}]}})") << true;
        QTest::newRow("field left out") << QByteArray("{\"expect\":{\"leds\":[{\"any\":true},\"#000000\",\"#000000\",\"#000000\"]}}") << true;
        QTest::newRow("printer lines exact") << QByteArray("{\"expect\":{\"printer\":[\"T(13)(10)\"]}}") << true;
        QTest::newRow("printer line missing") << QByteArray("{\"expect\":{\"printer\":[\"T(13)(10)\",\"X\"]}}") << false;
        QTest::newRow("printer any list") << QByteArray(R"({"expect":{"printer":{"any":true}}})") << true;
        QTest::newRow("serial none expected") << QByteArray("{\"expect\":{\"serial\":[\"(5)\"]}}") << false;
    }

    void matching()
    {
        QFETCH(QByteArray, expect);
        QFETCH(bool, holds);
        const Step step = expectation(expect);
        const Screen seen = screen({QStringLiteral("MENU"), QStringLiteral("1 Peso")}, {QStringLiteral("T(13)(10)")});
        QCOMPARE(step.holds(seen), holds);
        QCOMPARE(step.differingFields(seen).isEmpty(), holds);
    }

    // Keys with nothing from the host between them make one "type"; a read
    // between them, or another action, keeps them apart.
    void recorderJoinsKeys()
    {
        QByteArray out;
        Recorder recorder([&out](const QByteArray &line) {
            out += line;
            return true;
        });
        const Screen menu = screen({QStringLiteral("MENU"), QString()});
        recorder.begin({}, QDateTime::fromSecsSinceEpoch(0), 0);
        const QJsonObject one{{QStringLiteral("key"), QStringLiteral("1")}};
        const QJsonObject enter{{QStringLiteral("key"), QStringLiteral("Enter")}};
        recorder.action(QStringLiteral("key"), one, menu, 5, 100);
        recorder.action(QStringLiteral("key"), one, menu, 5, 110);
        recorder.action(QStringLiteral("key"), enter, menu, 5, 120);
        recorder.action(QStringLiteral("key"), one, menu, 6, 300); // the host answered
        recorder.action(QStringLiteral("busy"), {{QStringLiteral("on"), true}}, menu, 6, 310);
        recorder.end(screen({QStringLiteral("FIM"), QString()}), 400);
        const QList<QByteArray> lines = out.split('\n');
        QCOMPARE(lines.size(), 9); // header, 3 x (expect, action), final expect, ""
        QCOMPARE(lines.at(2), QByteArray(R"({"do":"type","text":"11\r"})"));
        QCOMPARE(lines.at(3), QByteArray("{\"expect\":{\"display\":[\"MENU\",\"\"],\"leds\":[\"#000000\",\"#000000\",\"#000000\",\"#000000\"],\"printer\":[],\"serial\":[]},\"after_ms\":200}"));
        QCOMPARE(lines.at(4), QByteArray(R"({"do":"key","key":"1"})"));
        QCOMPARE(lines.at(6), QByteArray(R"({"do":"busy","on":true})"));
        QVERIFY(lines.at(7).startsWith("{\"expect\":{\"display\":[\"FIM\",\"\"]"));
        QCOMPARE(recorder.actions(), 5);
        QString error;
        QVERIFY2(parse(out, QStringLiteral("t"), &error), qPrintable(error));
    }

    void recorderStopsWhenTheFileRefuses()
    {
        int writes = 0;
        Recorder recorder([&writes](const QByteArray &) { return ++writes < 2; });
        QVERIFY(recorder.begin({}, QDateTime::currentDateTimeUtc(), 0));
        QVERIFY(!recorder.action(QStringLiteral("reset"), {}, screen({QString(), QString()}), 0, 1));
        QVERIFY(recorder.failed());
        QVERIFY(!recorder.end(screen({QString(), QString()}), 2));
        QCOMPARE(writes, 2);
    }

    // Display lines one above the other, marked where they part; printer lines as a diff.
    void reportMarksAndDiff()
    {
        const Step step = expectation(R"({"expect":{"display":["Ticket impresso",{"re":"Tecla: \\d"}],"printer":["A","B","C"]}})");
        Mismatch mismatch;
        mismatch.file = QStringLiteral("t.jsonl");
        mismatch.line = 2;
        mismatch.step = 1;
        mismatch.timeoutMs = 50;
        mismatch.expectation = &step;
        mismatch.actual = screen({QStringLiteral("Ticket impreso"), QStringLiteral("Tecla: x")},
                                 {QStringLiteral("A"), QStringLiteral("C"), QStringLiteral("D")});
        const QStringList lines = reportText(mismatch).split(QLatin1Char('\n'));
        QCOMPARE(lines.at(0), QStringLiteral("t.jsonl:2: step 1, before the first action: the terminal did not show "
                                             "what was expected within 50 ms"));
        QCOMPARE(lines.mid(1, 7), (QStringList{QStringLiteral("  display line 1"),
                                               QStringLiteral("    expected: Ticket impresso"),
                                               QStringLiteral("    actual:   Ticket impreso"),
                                               QString(14 + 13, QLatin1Char(' ')) + QLatin1Char('^'),
                                               QStringLiteral("  display line 2"),
                                               QStringLiteral("    expected: {\"re\":\"Tecla: \\\\d\"}"),
                                               QStringLiteral("    actual:   Tecla: x")}));
        QCOMPARE(lines.mid(9, 7), (QStringList{QStringLiteral("    --- expected"), QStringLiteral("    +++ actual"),
                                               QStringLiteral("    @@ -1,3 +1,3 @@"), QStringLiteral("     A"),
                                               QStringLiteral("    -B"), QStringLiteral("     C"),
                                               QStringLiteral("    +D")}));
    }

    // The updated line keeps what still matches as written and takes the rest as seen.
    void updateKeepsMatchersThatStillMatch()
    {
        const Step step = expectation(
            R"({"expect":{"display":[{"re":"MEN."},"old"],"printer":[{"any":true}],"serial":{"any":true}},"after_ms":7})");
        const Screen seen = screen({QStringLiteral("MENU"), QStringLiteral("new")},
                                   {QStringLiteral("x"), QStringLiteral("y")});
        QCOMPARE(updatedExpectLine(step, seen),
                 QByteArray(R"({"expect":{"display":[{"re":"MEN."},"new"],"printer":["x","y"],"serial":{"any":true}},"after_ms":7})" "\n"));
    }

    void junitNamesEachTerminal()
    {
        const QByteArray xml = junitXml({{QStringLiteral("a.jsonl"), QStringLiteral("t001"), true, {}, {}, 0.5, 3},
                                         {QStringLiteral("a.jsonl"), QStringLiteral("t002"), false,
                                          QStringLiteral("a.jsonl:2: step 1"), QStringLiteral("report\x02"), 1.0, 0}});
        QVERIFY(xml.contains(R"(<testsuites name="conversations" tests="2" failures="1")"));
        QVERIFY(xml.contains(R"(<testsuite name="t002" tests="1" failures="1")"));
        QVERIFY(xml.contains(R"(<failure message="a.jsonl:2: step 1" type="mismatch">report\x02</failure>)"));
    }
};

QTEST_GUILESS_MAIN(TestConversation)
#include "tst_conversation.moc"
