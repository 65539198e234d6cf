#include "trace/trace_record.h"

const char *kindName(TraceRecord::Kind kind)
{
    switch (kind) {
    case TraceRecord::Kind::Link:
        return "link";
    case TraceRecord::Kind::Received:
        return "received";
    case TraceRecord::Kind::Comutadora:
        return "comutadora";
    case TraceRecord::Kind::Telnet:
        return "telnet";
    case TraceRecord::Kind::Command:
        return "command";
    case TraceRecord::Kind::Sent:
        return "sent";
    case TraceRecord::Kind::Operator:
        return "operator";
    case TraceRecord::Kind::Message:
        return "message";
    case TraceRecord::Kind::Note:
        return "note";
    }
    return "note";
}

const char *directionName(TraceRecord::Direction direction)
{
    switch (direction) {
    case TraceRecord::Direction::FromHost:
        return "in";
    case TraceRecord::Direction::ToHost:
        return "out";
    case TraceRecord::Direction::Local:
        return "local";
    }
    return "local";
}

void TraceSummary::count(const TraceRecord &record)
{
    ++records;
    if (!record.warning.isEmpty())
        warnings[record.warning] += record.repeated > 0 ? record.repeated : 1;
    if (record.kind == TraceRecord::Kind::Note)
        ++notes[record.tag];
}
