// The control server's parts that no client test reaches: the wait evaluation
// on its own (as a replay uses it), terminals added to and removed from a
// server that clients are connected to, and the history's memory bound.

#include "common/recorders.h"
#include "control/control_member.h"
#include "control/control_server.h"
#include "control/host_history.h"
#include "control/terminal_waits.h"
#include "terminal/terminal.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>

#include <deque>
#include <memory>
#include <optional>
#include <random>

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
    void historyKeepsWhatFitsItsBound();
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

void TestControlServer::historyKeepsWhatFitsItsBound()
{
    // Against a plain model: records of every size, oldest forgotten first, never more than the bound in memory.
    struct Record {
        qint64 seq;
        quint32 member;
        bool sent;
        QByteArray bytes;
    };
    constexpr qsizetype kBound = 4096;
    HostHistory history(kBound);
    std::deque<Record> model;
    qsizetype modelUsed = 0;
    qint64 modelForgotten = 0;
    std::mt19937 random(7);
    for (qint64 seq = 1; seq <= 20000; ++seq) {
        // Mostly one byte, some larger, a few past the whole bound.
        const int pick = int(random() % 100);
        const qsizetype size = pick < 80 ? 1 : pick < 99 ? qsizetype(random() % 700) : kBound;
        const Record record{seq, quint32(random() % 3), random() % 2 == 0, QByteArray(size, char('a' + seq % 26))};
        history.add(record.seq, record.member, record.sent, record.bytes);
        const qsizetype cost = HostHistory::kHeaderBytes + size;
        if (cost > kBound) {
            model.clear();
            modelUsed = 0;
            modelForgotten = seq;
        } else {
            while (modelUsed + cost > kBound) {
                modelUsed -= HostHistory::kHeaderBytes + model.front().bytes.size();
                modelForgotten = model.front().seq;
                model.pop_front();
            }
            model.push_back(record);
            modelUsed += cost;
        }
        QVERIFY(history.memoryBytes() <= kBound);
        QCOMPARE(history.usedBytes(), modelUsed);
        QCOMPARE(history.forgotten(), modelForgotten);
        if (seq % 997 == 0) {
            const qint64 after = seq - 40;
            QList<QByteArray> kept;
            QList<QByteArray> expected;
            history.forEachAfter(after, 1, [&kept](bool sent, const QByteArray &bytes) {
                kept.append((sent ? "s" : "r") + bytes);
            });
            for (const Record &r : model)
                if (r.seq > after && r.member == 1)
                    expected.append((r.sent ? "s" : "r") + r.bytes);
            QCOMPARE(kept, expected);
        }
    }
    // One-byte records cost their header: the bound holds a sixteenth as many bytes, not a bound's worth of records.
    QVERIFY(history.records() < kBound / HostHistory::kHeaderBytes);
}

QTEST_GUILESS_MAIN(TestControlServer)
#include "tst_control_server.moc"
