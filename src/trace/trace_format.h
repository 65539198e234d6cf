#pragma once

#include "trace/trace_record.h"

#include <QByteArray>
#include <QString>

// The two ways a trace is written, one record a line.
//
// Text, for people:
//   2026-12-07 21:00:00.123456 +0.000120 127.0.0.1:40000       <- command    02 47 05 03  .G..  STX "G" 05 ETX  LEDs 0 and 2 on
// local time with microseconds, the time since the record before, the host
// connection, the direction (<- from the host, -> to it, -- local), the kind,
// the hex of up to 16 bytes with their printable characters, the words; a
// warning's words begin "!! kind:".
//
// JSON lines, for programs (one object a line, UTF-8):
//   {"n":3,"time":"2026-12-07T21:00:00.123456Z","t_us":...,"dt_us":120,"kind":"command","dir":"in",
//    "peer":"127.0.0.1:40000","len":4,"hex":"02470503","text":"STX \"G\" 05 ETX  LEDs 0 and 2 on"}
// with every byte in "hex", and when they apply "warning", "repeated", and the
// tag under the name its kind gives it: "event" (link), "origin" (sent), "note" (note).
// A summary closes a trace: text lines beginning "#", or one {"summary":{...}} object.
namespace traceformat {

enum class Format { Text, JsonLines };

// Appends one record, newline included.
void appendText(QByteArray &out, const TraceRecord &record);
void appendJson(QByteArray &out, const TraceRecord &record);
void append(QByteArray &out, const TraceRecord &record, Format format);

QByteArray header(Format format, const QString &folder);
QByteArray summary(const TraceSummary &summary, Format format);

// "event", "origin", "note" or nullptr: the JSON name of a kind's tag.
const char *tagName(TraceRecord::Kind kind);

} // namespace traceformat
