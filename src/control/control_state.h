#pragma once

#include <QJsonArray>
#include <QJsonObject>

class ControlServer;
class Terminal;
struct ControlMember;

// A terminal's state as the control protocol shows it, for the commands and
// the events (written in control_commands_state.cpp).
namespace control {

// {"lines":[..],"shown":[..],"cursor":[row,col]}
QJsonObject displayObject(Terminal &terminal);
// The four LED colours, "#rrggbb".
QJsonArray ledsArray(Terminal &terminal);
// {"on":..,"readings":[..],"next":..}
QJsonObject scaleObject(Terminal &terminal);
// {"codes":[..],"next":..}: the code list of "Código de Barras" and the line it reads next.
QJsonObject barcodeObject(Terminal &terminal);
// {"mode":"idle"|"playing"|"halted"}
QJsonObject playbackObject(Terminal &terminal);
// The reply of "state" for one terminal, with the server's last sequence number.
QJsonObject stateObject(const ControlServer &server, const ControlMember &member);
// {"fleet":[{"name":..,"connected":..,...}, ...]}
QJsonObject fleetList(const ControlServer &server);

} // namespace control
