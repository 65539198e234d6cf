// The control server's parts that no client test reaches: the wait evaluation
// on its own (as a replay uses it), and terminals added to and removed from a
// server that clients are connected to.

#include "common/recorders.h"
#include "control/control_member.h"
#include "control/control_server.h"
#include "control/terminal_waits.h"
#include "terminal/terminal.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>

namespace {

struct Box {
    QTemporaryDir folder;
    RecordingPrompts prompts;
    Terminal terminal{folder.path(), prompts, [] { return QStringLiteral("10.1.2.3"); }};
};

QJsonObject until(const char *json)
{
    return QJsonDocument::fromJson(json).object();
}

} // namespace

class TestControlServer : public QObject {
    Q_OBJECT
private slots:
    void waitsHoldWhenTheirConditionDoes_data();
    void waitsHoldWhenTheirConditionDoes();
    void waitsTimeOutAndEnd();
    void membersComeAndGoWhileClientsWait();
};

void TestControlServer::waitsHoldWhenTheirConditionDoes_data()
{
    QTest::addColumn<QByteArray>("condition");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArray>("display");
    QTest::addColumn<QByteArray>("printed");
    QTest::addColumn<bool>("holds");
    QTest::newRow("bytes across two sends") << QByteArray(R"({"sent":"4243"})") << QByteArray("AB|CD") << QByteArray()
                                            << QByteArray() << true;
    QTest::newRow("bytes never sent") << QByteArray(R"({"sent":"4244"})") << QByteArray("AB|CD") << QByteArray()
                                      << QByteArray() << false;
    QTest::newRow("display regex") << QByteArray(R"({"display":"^HEL+O"})") << QByteArray() << QByteArray("HELLO")
                                   << QByteArray() << true;
    QTest::newRow("printer line") << QByteArray(R"({"printer":"TOTAL \\d+"})") << QByteArray() << QByteArray()
                                  << QByteArray("TOTAL 42\n") << true;
    QTest::newRow("all at once, one missing") << QByteArray(R"({"display":"HELLO","sent":"41"})") << QByteArray("B")
                                              << QByteArray("HELLO") << QByteArray() << false;
}

void TestControlServer::waitsHoldWhenTheirConditionDoes()
{
    QFETCH(QByteArray, condition);
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, display);
    QFETCH(QByteArray, printed);
    QFETCH(bool, holds);
    Box box;
    TerminalWaits waits(box.terminal, TerminalWaits::Feed::Forwarded);
    WaitProgress progress(box.terminal, WaitCondition::fromJson(until(condition)));
    QVERIFY(!progress.holds(box.terminal));
    std::optional<WaitOutcome> outcome;
    waits.add(std::move(progress), 60000, [&outcome](WaitOutcome o) { outcome = o; });
    for (const QByteArray &piece : sent.split('|'))
        if (!piece.isEmpty())
            waits.hostDataSent(piece);
    box.terminal.display().WriteText(display);
    waits.displayChanged();
    for (const char c : printed)
        box.terminal.outputs().ParallelOut(c);
    waits.printerChanged();
    QCOMPARE(outcome.has_value(), holds);
    if (holds)
        QCOMPARE(*outcome, WaitOutcome::Held);
    QCOMPARE(waits.empty(), holds);
}

void TestControlServer::waitsTimeOutAndEnd()
{
    Box box;
    TerminalWaits waits(box.terminal);
    std::vector<WaitOutcome> outcomes;
    const auto record = [&outcomes](WaitOutcome o) { outcomes.push_back(o); };
    waits.add(WaitProgress(box.terminal, WaitCondition::fromJson(until(R"({"display":"never"})"))), 10, record);
    QTRY_COMPARE(outcomes.size(), std::size_t(1));
    QCOMPARE(outcomes[0], WaitOutcome::TimedOut);
    waits.add(WaitProgress(box.terminal, WaitCondition::fromJson(until(R"({"display":"never"})"))), 60000, record);
    const TerminalWaits::Id silent =
        waits.add(WaitProgress(box.terminal, WaitCondition::fromJson(until(R"({"display":"never"})"))), 60000, record);
    QVERIFY(waits.end(silent));
    QVERIFY(!waits.end(silent));
    waits.endAll();
    QCOMPARE(outcomes, (std::vector<WaitOutcome>{WaitOutcome::TimedOut, WaitOutcome::Ended}));
    QVERIFY_THROWS_EXCEPTION(ControlError, WaitCondition::fromJson(until(R"({"colour":"red"})")));
}

void TestControlServer::membersComeAndGoWhileClientsWait()
{
    Box a, b, c;
    QTemporaryDir sockets;
    ControlServer server({{QStringLiteral("a"), &a.terminal}, {QStringLiteral("b"), &b.terminal}});
    QString error;
    QVERIFY2(server.listen(QStringLiteral("unix:") + sockets.filePath(QStringLiteral("c.sock")), &error),
             qPrintable(error));
    QLocalSocket client;
    client.connectToServer(sockets.filePath(QStringLiteral("c.sock")));
    QTRY_VERIFY(client.state() == QLocalSocket::ConnectedState);
    const auto next = [&client]() -> QJsonObject {
        // The server answers from this thread's event loop.
        for (int i = 0; i < 1000 && !client.canReadLine(); ++i)
            QTest::qWait(5);
        return QJsonDocument::fromJson(client.readLine()).object();
    };
    QVERIFY(next().contains(QStringLiteral("hello")));

    client.write(R"({"id":1,"cmd":"wait","terminal":"b","until":{"display":"never"}})" "\n");
    client.flush();
    QTRY_VERIFY(!server.members().back()->waits.empty());
    QVERIFY(!server.removeMember(QStringLiteral("nobody")));
    QVERIFY(server.removeMember(QStringLiteral("b")));
    QVERIFY(!b.terminal.observer()); // its hooks are gone
    const QJsonObject ended = next();
    QCOMPARE(ended.value(QStringLiteral("id")).toInt(), 1);
    QCOMPARE(ended.value(QStringLiteral("error"))[QStringLiteral("code")].toString(), QStringLiteral("terminal_removed"));
    QVERIFY(!server.removeMember(QStringLiteral("a"))); // the last one stays

    QVERIFY(server.addMember({QStringLiteral("c"), &c.terminal}, &error));
    QVERIFY(!server.addMember({QStringLiteral("c"), &c.terminal}, &error));
    client.write(R"({"id":2,"cmd":"state","terminal":"c"})" "\n" R"({"id":3,"cmd":"state","terminal":"b"})" "\n");
    const QJsonObject state = next();
    QCOMPARE(state.value(QStringLiteral("ok"))[QStringLiteral("terminal")].toString(), QStringLiteral("c"));
    QCOMPARE(next().value(QStringLiteral("error"))[QStringLiteral("code")].toString(), QStringLiteral("bad_argument"));
}

QTEST_GUILESS_MAIN(TestControlServer)
#include "tst_control_server.moc"
