// Operator actions: what a person does at the terminal's window, each through
// the same handler as the click: "key", "type", "input", "busy", "cts",
// "barcode", "scale", "reset" and "playback".

#include "control/control_command.h"
#include "control/control_member.h"
#include "control/control_server.h"
#include "control/control_state.h"
#include "engine/cp1252.h"
#include "terminal/terminal.h"

#include <QFileInfo>
#include <QList>

#include <optional>

using control::badArgument;
using Key = Keyboard::Key;

namespace {

Key readKey(const CommandContext &c)
{
    const QString name = control::stringArg(c.args(), QStringLiteral("key"));
    const std::optional<Key> key = Keyboard::keyForName(name);
    if (!key)
        badArgument(QStringLiteral("no key is called \"%1\"; the keys are \"0\"..\"9\", \"A\"..\"Z\", \"Space\", "
                                   "\",\", \".\", \"Del\", \"Enter\" and \"Back\"")
                        .arg(name));
    return *key;
}

QList<Key> readText(const CommandContext &c)
{
    const QString text = control::stringArg(c.args(), QStringLiteral("text"));
    QList<Key> keys;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const std::optional<Key> key = Keyboard::keyForCharacter(text.at(i));
        if (!key)
            badArgument(QStringLiteral("the terminal has no key for character %1 (\"%2\")").arg(i).arg(text.at(i)));
        keys.append(*key);
    }
    return keys;
}

QJsonObject runType(CommandContext &c, const QList<Key> &keys)
{
    // The client may leave, or the terminal go, between two keys: the rest is then not typed.
    const std::weak_ptr<ControlMember> member = c.member.weak_from_this();
    const qsizetype count = keys.size();
    c.terminal().actions().typeKeys(
        keys,
        [member, open = c.server.sessionOpen(c.session)] {
            const std::shared_ptr<ControlMember> m = member.lock();
            return m && m->attached && open();
        },
        c.server.replyWhenDone(c, [count] { return QJsonObject{{QStringLiteral("keys"), int(count)}}; }));
    return {};
}

bool readOn(const CommandContext &c)
{
    return control::boolArg(c.args(), QStringLiteral("on"));
}

struct InputArgs {
    int n;
    bool on;
};

std::optional<QByteArray> readBarcode(const CommandContext &c)
{
    if (!c.args().contains(QStringLiteral("code")))
        return std::nullopt;
    return toCp1252(control::stringArg(c.args(), QStringLiteral("code")));
}

struct ScaleArgs {
    std::optional<QList<QByteArray>> readings;
    std::optional<bool> on;
    std::optional<int> next;
};

ScaleArgs readScale(const CommandContext &c)
{
    const QJsonObject &args = c.args();
    ScaleArgs a;
    if (!args.contains(QStringLiteral("readings")) && !args.contains(QStringLiteral("on")) &&
        !args.contains(QStringLiteral("next")))
        badArgument(QStringLiteral("scale takes \"on\", \"readings\" or \"next\""));
    if (args.contains(QStringLiteral("readings"))) {
        const QJsonValue list = args.value(QStringLiteral("readings"));
        if (!list.isArray())
            badArgument(QStringLiteral("\"readings\" must be a list of strings"));
        a.readings.emplace();
        for (const QJsonValue item : list.toArray()) {
            if (!item.isString())
                badArgument(QStringLiteral("\"readings\" must be a list of strings"));
            a.readings->append(toCp1252(item.toString()));
        }
    }
    if (args.contains(QStringLiteral("on")))
        a.on = control::boolArg(args, QStringLiteral("on"));
    if (args.contains(QStringLiteral("next")))
        a.next = int(control::intArg(args, QStringLiteral("next"), 0, 255));
    return a;
}

QJsonObject runScale(CommandContext &c, const ScaleArgs &a)
{
    OperatorActions &actions = c.terminal().actions();
    if (a.readings)
        actions.replaceScaleReadings(*a.readings);
    if (a.on)
        actions.setScaleOn(*a.on);
    if (a.next)
        actions.chooseScaleReading(*a.next);
    return control::scaleObject(c.terminal());
}

} // namespace

namespace control {

ControlCommands operatorCommands()
{
    return {
        ControlCommand::of(QStringLiteral("key"), readKey,
                           [](CommandContext &c, Key key) {
                               c.terminal().actions().pressKey(key, c.server.replyWhenDone(c));
                               return QJsonObject();
                           }),
        ControlCommand::of(QStringLiteral("type"), readText, runType),
        ControlCommand::of(
            QStringLiteral("input"),
            [](const CommandContext &c) {
                return InputArgs{int(intArg(c.args(), QStringLiteral("n"), 0, 3)), readOn(c)};
            },
            [](CommandContext &c, const InputArgs &a) {
                c.terminal().actions().setInput(a.n, a.on);
                return QJsonObject();
            }),
        ControlCommand::of(QStringLiteral("busy"), readOn,
                           [](CommandContext &c, bool on) {
                               c.terminal().actions().setBusy(on);
                               return QJsonObject();
                           }),
        ControlCommand::of(QStringLiteral("cts"), readOn,
                           [](CommandContext &c, bool on) {
                               c.terminal().actions().setCts(on);
                               return QJsonObject();
                           }),
        ControlCommand::of(QStringLiteral("barcode"), readBarcode,
                           [](CommandContext &c, const std::optional<QByteArray> &code) {
                               if (code)
                                   c.terminal().actions().sendBarcode(*code, c.server.replyWhenDone(c));
                               else
                                   c.terminal().actions().pressBarcodeButton(c.server.replyWhenDone(c));
                               return QJsonObject();
                           }),
        ControlCommand::of(QStringLiteral("scale"), readScale, runScale),
        ControlCommand::of(QStringLiteral("reset"),
                           [](CommandContext &c) {
                               c.terminal().actions().resetTerminal(c.server.replyWhenDone(c));
                               return QJsonObject();
                           }),
        ControlCommand::of(QStringLiteral("playback"), readOn,
                           [](CommandContext &c, bool on) { return setPlayback(c.terminal(), on); }),
    };
}

QJsonObject setPlayback(Terminal &terminal, bool on)
{
    const QString script = terminal.filePath("Digitacoes.ini");
    if (on && terminal.playback().mode() == Playback::Mode::Idle && !QFileInfo(script).isFile())
        throw ControlError{QStringLiteral("no_script"),
                           QStringLiteral("there is no \"Digitacoes.ini\" to play: %1 does not exist").arg(script)};
    terminal.actions().setPlayback(on);
    return playbackObject(terminal);
}

} // namespace control
