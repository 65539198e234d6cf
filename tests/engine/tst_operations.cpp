#include "common/recorders.h"
#include "engine/errors.h"
#include "engine/operations.h"

#include <QElapsedTimer>
#include <QStringList>
#include <QTest>
#include <QTimer>

#include <iterator>
#include <memory>
#include <vector>

namespace {

using Outcome = OperationStack::Outcome;

// Counts live frames of the operations below, so that ending one is seen to destroy it.
struct Alive {
    explicit Alive(int &count) : count(count) { ++count; }
    ~Alive() { --count; }
    int &count;
};

// Notes "name:step" before each of its pauses and once at its end.
Operation steps(OperationStack &stack, QStringList &log, QString name, int count, int pauseMs, int *alive = nullptr)
{
    std::unique_ptr<Alive> held(alive ? new Alive(*alive) : nullptr);
    for (int i = 1; i <= count; ++i) {
        log.append(QStringLiteral("%1:%2").arg(name).arg(i));
        co_await stack.pause(pauseMs);
    }
    log.append(name + QStringLiteral(":end"));
}

Operation failing(OperationStack &stack, bool silent)
{
    co_await stack.pause(1);
    if (silent)
        throw SilentAbort();
    throw AppError(QStringLiteral("broken"));
}

Operation catching(OperationStack &stack, QStringList &log)
{
    try {
        co_await failing(stack, false);
    } catch (const AppError &error) {
        log.append(error.text());
    }
    co_await stack.pause(1);
    log.append(QStringLiteral("after"));
}

} // namespace

// The terminal's operations: last in, first out within one stack, nothing
// shared between stacks, modal dialogs on top, errors and ending.
class TestOperations : public QObject {
    Q_OBJECT

private slots:
    // A newer operation runs its steps to the end before an older one resumes,
    // even when the older one's pause is long over.
    void newerRunsToItsEndFirst()
    {
        RecordingPrompts prompts;
        OperationStack stack(prompts);
        QStringList log;
        QList<QString> ended;
        stack.run(steps(stack, log, "a", 3, 5), [&](Outcome) { ended.append("a"); });
        QCOMPARE(log, QStringList{"a:1"});
        QTimer::singleShot(2, [&] {
            stack.run(steps(stack, log, "b", 3, 20), [&](Outcome) { ended.append("b"); });
        });
        QTRY_COMPARE(ended.size(), 2);
        QCOMPARE(log, (QStringList{"a:1", "b:1", "b:2", "b:3", "b:end", "a:2", "a:3", "a:end"}));
        QCOMPARE(ended, (QList<QString>{"b", "a"}));
        QVERIFY(stack.idle());
    }

    // Two terminals never wait inside one another: the short one finishes while the long one still waits.
    void stacksAreIndependent()
    {
        RecordingPrompts prompts;
        OperationStack slow(prompts);
        OperationStack quick(prompts);
        QStringList log;
        slow.run(steps(slow, log, "slow", 2, 300));
        quick.run(steps(quick, log, "quick", 3, 5));
        QTRY_VERIFY(log.contains("quick:end"));
        QVERIFY(!log.contains("slow:end"));
        QTRY_VERIFY(log.contains("slow:end"));
    }

    // Pauses of many terminals share one clock: each ends in the order of its
    // deadline and never before it, a later pause with a nearer deadline
    // included, and a pause ended with its terminal is never woken.
    void pausesEndByTheirOwnDeadlines()
    {
        RecordingPrompts prompts;
        const int pauses[] = {400, 20, 40, 0, 20};
        std::vector<std::unique_ptr<OperationStack>> stacks;
        QStringList ended;
        QElapsedTimer clock;
        clock.start();
        for (std::size_t i = 0; i < std::size(pauses); ++i) {
            stacks.push_back(std::make_unique<OperationStack>(prompts));
            const QString name = QString::number(i);
            stacks.back()->run(steps(*stacks.back(), ended, name, 1, pauses[i]), [&, name, i](Outcome) {
                QVERIFY2(clock.elapsed() >= pauses[i], qPrintable(name + " ended early"));
            });
        }
        OperationStack removed(prompts);
        removed.run(steps(removed, ended, "removed", 1, 10));
        removed.endAll();
        QTRY_VERIFY(ended.contains("2:end"));
        QVERIFY(!ended.contains("0:end")); // the first and longest did not hold up the nearer ones
        QTRY_COMPARE(ended.size(), 2 * int(std::size(pauses)) + 1);
        QCOMPARE(ended.filter(":end"), QStringList({"3:end", "1:end", "4:end", "2:end", "0:end"}));
    }

    // A dialog open for the terminal holds back what is older; what starts above it runs.
    void modalHoldsOlderOperations()
    {
        RecordingPrompts prompts;
        OperationStack stack(prompts);
        QStringList log;
        stack.run(steps(stack, log, "old", 2, 1));
        auto modal = std::make_unique<OperationStack::Modal>(&stack);
        stack.run(steps(stack, log, "new", 2, 1));
        QTRY_VERIFY(log.contains("new:end"));
        QTest::qWait(30);
        QCOMPARE(log, (QStringList{"old:1", "new:1", "new:2", "new:end"}));
        modal.reset();
        QTRY_VERIFY(log.contains("old:end"));
    }

    // until() goes on when its condition holds and someone says it may have changed.
    void untilWaitsForItsCondition()
    {
        RecordingPrompts prompts;
        OperationStack stack(prompts);
        int ticks = 0;
        bool over = false;
        auto waiting = [](OperationStack &s, int &count) -> Operation {
            auto third = s.until([&count] { return count >= 3; });
            co_await third;
        };
        stack.run(waiting(stack, ticks), [&](Outcome) { over = true; });
        for (int i = 0; i < 3; ++i) {
            QVERIFY(!over);
            ++ticks;
            stack.poke();
        }
        QVERIFY(over);
    }

    void errors_data()
    {
        QTest::addColumn<bool>("silent");
        QTest::addColumn<QStringList>("messages");
        QTest::newRow("reported") << false << QStringList{"broken."};
        QTest::newRow("silent") << true << QStringList();
    }

    // An error ends the operation as a failure and goes to the general error report (or nowhere).
    void errors()
    {
        QFETCH(bool, silent);
        QFETCH(QStringList, messages);
        RecordingPrompts prompts;
        OperationStack stack(prompts);
        QCOMPARE(runToEnd(stack, failing(stack, silent)), std::optional<Outcome>(Outcome::Failed));
        QCOMPARE(prompts.texts(), messages);
    }

    // An error reaches the operation that awaits it, which may go on.
    void errorsReachTheAwaitingOperation()
    {
        RecordingPrompts prompts;
        OperationStack stack(prompts);
        QStringList log;
        QCOMPARE(runToEnd(stack, catching(stack, log)), std::optional<Outcome>(Outcome::Finished));
        QCOMPARE(log, (QStringList{"broken", "after"}));
        QVERIFY(prompts.messages.isEmpty());
    }

    // Ending destroys every waiting operation, newest first, each told so; one
    // that ends the stack from its own code is ended once it is off the call stack.
    void endingDestroysWaitingOperations()
    {
        RecordingPrompts prompts;
        int alive = 0;
        QStringList log;
        QList<std::pair<QString, Outcome>> ended;
        const auto note = [&](const QString &name) { return [&ended, name](Outcome o) { ended.append({name, o}); }; };
        {
            OperationStack stack(prompts);
            stack.run(steps(stack, log, "a", 5, 1000, &alive), note("a"));
            for (int i = 0; i < 10; ++i)
                stack.run(steps(stack, log, QString::number(i), 5, 1000, &alive), note(QString::number(i)));
            stack.run(steps(stack, log, "b", 5, 1000, &alive), note("b"));
            QCOMPARE(alive, 12);
            auto self = [](OperationStack &s) -> Operation {
                s.endAll();
                co_await s.pause(1000);
            };
            stack.run(self(stack), note("self"));
            QList<std::pair<QString, Outcome>> expected{{"b", Outcome::Ended}};
            for (int i = 9; i >= 0; --i)
                expected.append({QString::number(i), Outcome::Ended});
            expected += {{"a", Outcome::Ended}, {"self", Outcome::Ended}};
            QCOMPARE(ended, expected);
            QCOMPARE(alive, 0);
            QVERIFY(stack.idle());
            stack.run(steps(stack, log, "c", 5, 1000, &alive), note("c"));
        }
        // The stack's end ends what was left.
        QCOMPARE(ended.last(), (std::pair<QString, Outcome>{"c", Outcome::Ended}));
        QCOMPARE(alive, 0);
    }
};

QTEST_GUILESS_MAIN(TestOperations)
#include "tst_operations.moc"
