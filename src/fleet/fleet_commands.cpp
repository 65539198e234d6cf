// The control commands of a whole run: "metrics", "bus" and "playback" with "all".

#include "control/control_member.h"
#include "fleet/address_list.h"
#include "fleet/fleet.h"

#include <QJsonArray>

namespace {

struct PlaybackArgs {
    bool on;
    bool all;
    qint64 rampMs;
};

PlaybackArgs readPlayback(const CommandContext &c)
{
    const bool all = control::boolArg(c.args(), QStringLiteral("all"), false);
    if (all && c.named)
        control::badArgument(QStringLiteral("\"all\" and \"terminal\" cannot be used together"));
    const bool on = control::boolArg(c.args(), QStringLiteral("on"));
    return {on, all, all ? control::intArg(c.args(), QStringLiteral("ramp_ms"), 0, Fleet::kMaxRampMs, 0) : 0};
}

} // namespace

ControlCommands Fleet::controlCommands()
{
    return {
        ControlCommand::of(QStringLiteral("metrics"),
                           [this](CommandContext &c) { return metrics(c.named ? &c.terminal() : nullptr); }),
        ControlCommand::of(
            QStringLiteral("bus"), [](const CommandContext &c) { return control::boolArg(c.args(), QStringLiteral("on")); },
            [](CommandContext &c, bool on) {
                Terminal &terminal = c.terminal();
                if (!terminal.state().comutadoraMode)
                    control::badArgument(QStringLiteral("only a terminal behind a Comutadora has a bus address"));
                setAnswering(terminal, on);
                return QJsonObject{{QStringLiteral("address"), addressText(terminal.state().comutadoraAddress)},
                                   {QStringLiteral("answering"), terminal.connections().isAnswering()}};
            }),
        // Replaces the one terminal's "playback" of the control interface, which it does without "all".
        ControlCommand::of(QStringLiteral("playback"), readPlayback,
                           [this](CommandContext &c, const PlaybackArgs &a) {
                               if (!a.all)
                                   return control::setPlayback(c.terminal(), a.on);
                               const QStringList withoutScript = setPlaybackAll(a.on, a.rampMs);
                               QJsonObject reply{{QStringLiteral("terminals"), size()},
                                                 {QStringLiteral("ramp_ms"), a.rampMs}};
                               if (!withoutScript.isEmpty())
                                   reply.insert(QStringLiteral("without_script"),
                                                QJsonArray::fromStringList(withoutScript));
                               return reply;
                           }),
    };
}
