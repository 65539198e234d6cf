// Waits: "wait" answers once a condition holds on its terminal (see
// terminal_waits.h for the conditions), or with "timeout" and the terminal's
// state. With "after_seq" the sends and reads since that event count too.
// With "timed" as well, the reply says how long it took, in microseconds
// measured here: "elapsed_us" from the terminal's first send to the host after
// that event ("from":"send") or, when it sent nothing since, from the wait's
// start ("from":"wait"), to the moment the condition held.

#include "control/control_command.h"
#include "control/control_member.h"
#include "control/control_server.h"
#include "control/terminal_waits.h"

#include <chrono>
#include <limits>

namespace {

struct WaitArgs {
    WaitCondition condition;
    qint64 timeoutMs;
    std::optional<qint64> afterSeq;
    bool timed;
};

WaitArgs readWait(const CommandContext &c)
{
    // The condition is read first, so that a bad one is named before a bad number.
    WaitArgs a{WaitCondition::fromJson(c.args().value(QStringLiteral("until"))),
               control::intArg(c.args(), QStringLiteral("timeout_ms"), 0, ControlServer::kMaxWaitMs,
                               ControlServer::kDefaultWaitMs),
               std::nullopt, control::boolArg(c.args(), QStringLiteral("timed"), false)};
    if (a.timed && !c.args().contains(QStringLiteral("after_seq")))
        control::badArgument(QStringLiteral("\"timed\" needs \"after_seq\": the event the time runs from"));
    if (c.args().contains(QStringLiteral("after_seq"))) {
        a.afterSeq = control::intArg(c.args(), QStringLiteral("after_seq"), 0, std::numeric_limits<qint64>::max() / 2);
        const qint64 forgotten = c.server.history().forgotten();
        if (*a.afterSeq < forgotten)
            control::badArgument(QStringLiteral("after_seq %1 is older than the sends and reads kept (from %2 on)")
                                     .arg(*a.afterSeq)
                                     .arg(forgotten));
    }
    return a;
}

QJsonObject runWait(CommandContext &c, const WaitArgs &a)
{
    WaitProgress progress(c.terminal(), a.condition);
    c.server.history().forEachAfter(a.afterSeq.value_or(c.server.lastSeq()), c.member.number,
                                    [&progress](bool sent, const QByteArray &bytes) {
                                        if (sent)
                                            progress.sawSent(bytes);
                                        else
                                            progress.sawReceived(bytes);
                                    });
    std::function<QJsonObject()> elapsed;
    if (a.timed) {
        const auto started = HostHistory::Clock::now();
        elapsed = [&history = c.server.history(), afterSeq = *a.afterSeq, member = c.member.number, started] {
            const std::optional<HostHistory::Clock::time_point> sent = history.firstSentAfter(afterSeq, member);
            const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(HostHistory::Clock::now() -
                                                                                      sent.value_or(started));
            return QJsonObject{{QStringLiteral("elapsed_us"), qint64(micros.count())},
                               {QStringLiteral("from"), sent ? QStringLiteral("send") : QStringLiteral("wait")}};
        };
    }
    if (progress.holds(c.terminal()))
        return elapsed ? elapsed() : QJsonObject();
    c.server.beginWait(c, std::move(progress), a.timeoutMs, std::move(elapsed));
    return {};
}

} // namespace

namespace control {

ControlCommands waitCommands()
{
    return {ControlCommand::of(QStringLiteral("wait"), readWait, runWait)};
}

} // namespace control
