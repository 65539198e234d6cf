#pragma once

#include "conversation/conversation_file.h"

#include <QtGlobal>

class DisplayModel;
class Outputs;

namespace conversation {

// Where the printer and serial lines of a step begin: the counts of lines
// ever added to the two logs at the last action.
struct LogMarks {
    quint64 printer = 0;
    quint64 serial = 0;
};

LogMarks logMarks(const Outputs &outputs);
// What the terminal shows now, with the log lines added since the marks.
Screen readScreen(const DisplayModel &display, const Outputs &outputs, const LogMarks &since);
// An LED colour as a conversation writes it: "#rrggbb".
QString ledText(quint32 rgb);

} // namespace conversation
