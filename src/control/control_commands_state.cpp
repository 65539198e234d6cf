// State and logs: "state" (one terminal, or the fleet) and "log" (the printer
// or serial lines kept, from a line number on).

#include "control/control_command.h"
#include "control/control_member.h"
#include "control/control_server.h"
#include "control/control_state.h"
#include "engine/cp1252.h"
#include "terminal/terminal.h"

#include <algorithm>
#include <limits>

using control::badArgument;

namespace {

QString colourText(quint32 rgb)
{
    return QStringLiteral("#%1").arg(rgb & 0xFFFFFF, 6, 16, QLatin1Char('0'));
}

struct LogArgs {
    bool printer;
    std::optional<qint64> since;
};

LogArgs readLog(const CommandContext &c)
{
    const QString which = control::stringArg(c.args(), QStringLiteral("which"));
    const bool printer = which == QLatin1String("printer");
    if (!printer && which != QLatin1String("serial"))
        badArgument(QStringLiteral("\"which\" is \"printer\" or \"serial\""));
    std::optional<qint64> since;
    if (c.args().contains(QStringLiteral("since")))
        since = control::intArg(c.args(), QStringLiteral("since"), 0, std::numeric_limits<qint64>::max() / 2);
    return {printer, since};
}

QJsonObject runLog(CommandContext &c, const LogArgs &a)
{
    const Outputs &outputs = c.terminal().outputs();
    const std::deque<QByteArray> &log = a.printer ? outputs.parallelLog() : outputs.serialLog();
    const qint64 next = qint64(a.printer ? outputs.parallelLinesAdded() : outputs.serialLinesAdded());
    const qint64 first = next - qint64(log.size());
    const qint64 start = std::clamp(a.since.value_or(first), first, next);
    QJsonArray lines;
    for (auto it = log.begin() + (start - first); it != log.end(); ++it)
        lines.append(fromCp1252(*it));
    return {{QStringLiteral("lines"), lines}, {QStringLiteral("first"), start}, {QStringLiteral("next"), next}};
}

QJsonObject runState(CommandContext &c)
{
    QJsonObject state = control::stateObject(c.server, c.member);
    if (c.server.members().size() > 1 && !c.named)
        state.insert(QStringLiteral("fleet"), control::fleetList(c.server).value(QStringLiteral("fleet")));
    return state;
}

} // namespace

namespace control {

QJsonObject displayObject(Terminal &terminal)
{
    const DisplayModel &display = terminal.display();
    return {{QStringLiteral("lines"), QJsonArray{fromCp1252(display.DisplayLine1()), fromCp1252(display.DisplayLine2())}},
            {QStringLiteral("shown"), QJsonArray{fromCp1252(display.view1()), fromCp1252(display.view2())}},
            {QStringLiteral("cursor"), QJsonArray{display.CursorRow(), display.CursorCol()}}};
}

QJsonArray ledsArray(Terminal &terminal)
{
    QJsonArray leds;
    for (int i = 0; i < 4; ++i)
        leds.append(colourText(terminal.outputs().ledColor(i)));
    return leds;
}

QJsonObject scaleObject(Terminal &terminal)
{
    QJsonArray readings;
    for (const QByteArray &item : terminal.scale().items())
        readings.append(fromCp1252(item));
    return {{QStringLiteral("on"), terminal.scale().isOn()},
            {QStringLiteral("readings"), readings},
            {QStringLiteral("next"), int(terminal.scale().ScaleIndex())}};
}

QJsonObject barcodeObject(Terminal &terminal)
{
    QJsonArray codes;
    for (const QByteArray &line : terminal.barcode().lines())
        codes.append(fromCp1252(line));
    return {{QStringLiteral("codes"), codes}, {QStringLiteral("next"), int(terminal.barcode().BarcodeLineIndex())}};
}

QJsonObject playbackObject(Terminal &terminal)
{
    const char *mode = "idle";
    if (terminal.playback().mode() == Playback::Mode::Playing)
        mode = "playing";
    else if (terminal.playback().mode() == Playback::Mode::Halted)
        mode = "halted";
    return {{QStringLiteral("mode"), QString::fromLatin1(mode)}};
}

QJsonObject stateObject(const ControlServer &server, const ControlMember &member)
{
    Terminal &t = member.terminal;
    const Outputs &outputs = t.outputs();
    const TerminalState &state = t.state();

    QJsonArray inputs;
    for (int i = 0; i < DigitalInputs::kInputCount; ++i)
        inputs.append(t.inputs().isInputOn(i));
    QJsonValue role;
    if (state.connectionRole == TerminalState::kServer)
        role = QStringLiteral("server");
    else if (state.connectionRole == TerminalState::kClient)
        role = QStringLiteral("client");
    QJsonValue protocol;
    if (state.protocolKind == TerminalState::kVt100)
        protocol = QStringLiteral("vt100");
    else if (state.protocolKind == TerminalState::kZorvane)
        protocol = QStringLiteral("zorvane");
    else if (state.protocolKind == TerminalState::kTelnet)
        protocol = QStringLiteral("telnet");

    QJsonObject result{
        {QStringLiteral("display"), displayObject(t)},
        {QStringLiteral("leds"), ledsArray(t)},
        {QStringLiteral("inputs"), inputs},
        {QStringLiteral("busy"), state.busy},
        {QStringLiteral("cts"), state.cts},
        {QStringLiteral("function_key_mode"), state.functionKeyMode},
        {QStringLiteral("connection"),
         QJsonObject{{QStringLiteral("role"), role},
                     {QStringLiteral("protocol"), protocol},
                     {QStringLiteral("comutadora"), state.comutadoraMode},
                     {QStringLiteral("connected"), t.connections().isHostConnected()}}},
        {QStringLiteral("printer"),
         QJsonObject{{QStringLiteral("last"), fromCp1252(outputs.lastParallel())},
                     {QStringLiteral("lines"), qint64(outputs.parallelLinesAdded())}}},
        {QStringLiteral("serial"),
         QJsonObject{{QStringLiteral("last"), fromCp1252(outputs.lastSerial())},
                     {QStringLiteral("lines"), qint64(outputs.serialLinesAdded())}}},
        {QStringLiteral("scale"), scaleObject(t)},
        {QStringLiteral("barcode"), barcodeObject(t)},
        {QStringLiteral("playback"), playbackObject(t)},
        {QStringLiteral("seq"), server.lastSeq()},
    };
    if (server.members().size() > 1)
        result.insert(QStringLiteral("terminal"), member.name);
    return result;
}

QJsonObject fleetList(const ControlServer &server)
{
    QJsonArray list;
    for (const auto &member : server.members()) {
        Terminal &t = member->terminal;
        QJsonObject entry{{QStringLiteral("name"), member->name},
                          {QStringLiteral("connected"), t.connections().isHostConnected()}};
        if (t.state().comutadoraMode) {
            const frames::BusAddress address = t.state().comutadoraAddress;
            entry.insert(QStringLiteral("address"), QString(QLatin1Char(address[0])) + QLatin1Char(address[1]));
            entry.insert(QStringLiteral("answering"), t.connections().isAnswering());
        }
        if (t.connections().isServerActive())
            entry.insert(QStringLiteral("port"), int(t.connections().serverListeningPort()));
        list.append(entry);
    }
    return {{QStringLiteral("fleet"), list}};
}

ControlCommands stateCommands()
{
    return {
        ControlCommand::of(QStringLiteral("state"), runState),
        ControlCommand::of(QStringLiteral("log"), readLog, runLog),
    };
}

} // namespace control
