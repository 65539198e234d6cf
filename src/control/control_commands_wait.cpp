// Waits: "wait" answers once a condition holds on its terminal (see
// terminal_waits.h for the conditions), or with "timeout" and the terminal's
// state. With "after_seq" the sends and reads since that event count too.

#include "control/control_command.h"
#include "control/control_member.h"
#include "control/control_server.h"
#include "control/terminal_waits.h"

#include <limits>

namespace {

struct WaitArgs {
    WaitCondition condition;
    qint64 timeoutMs;
    std::optional<qint64> afterSeq;
};

WaitArgs readWait(const CommandContext &c)
{
    // The condition is read first, so that a bad one is named before a bad number.
    WaitArgs a{WaitCondition::fromJson(c.args().value(QStringLiteral("until"))),
               control::intArg(c.args(), QStringLiteral("timeout_ms"), 0, ControlServer::kMaxWaitMs,
                               ControlServer::kDefaultWaitMs),
               std::nullopt};
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
    if (!progress.holds(c.terminal()))
        c.server.beginWait(c, std::move(progress), a.timeoutMs);
    return {};
}

} // namespace

namespace control {

ControlCommands waitCommands()
{
    return {ControlCommand::of(QStringLiteral("wait"), readWait, runWait)};
}

} // namespace control
