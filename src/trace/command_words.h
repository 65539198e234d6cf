#pragma once

#include "engine/frames.h"

#include <QByteArray>
#include <QString>

struct HostCommand;

// The trace's words for the host commands the interpreter runs.
//
// The interpreter reports each command as the parser cut it (kind, extent,
// operands, what its bytes lost) before it runs it; the trace takes what the
// command finds in the terminal at that moment into a CommandScene, and names
// the command from the two: the bytes in notation, its meaning, and the
// warning, if the host lost something by it. The warning adds to what the
// bytes lost what the terminal's state makes of them: a reply "busy", text
// written past column 40. Words are only built when asked for: a flood of
// alike commands is folded by the trace, which then needs only the shape and
// the warning.
struct CommandScene {
    int row = 1;
    int col = 1;
    bool comutadora = false;
    frames::BusAddress address = frames::kDefaultAddress; // this terminal's, behind a Comutadora
    bool busy = false;
    bool cts = false;
    char printDestination = 0;
    bool serialRelay = false;  // "Habilitado": serial bytes also go to the PC COM port
    bool scaleAnswers = false; // the scale is on and "Porta COM" is not ticked
};

namespace commandwords {

enum class Warning { None, CutCommand, StrayBytes, UnknownLetter, BadCursorOperands, WrappedText, BusyReply };

Warning warning(const QByteArray &delivery, const HostCommand &command, const CommandScene &scene);
// Commands of equal shape and warning are alike enough to fold.
int shape(const HostCommand &command, const CommandScene &scene);
// The bytes in notation, two spaces, the meaning.
QString words(const QByteArray &delivery, const HostCommand &command, const CommandScene &scene);
// "cut-command", ...; empty for None.
QString warningName(Warning warning);

} // namespace commandwords
