#pragma once

#include <QByteArray>
#include <QString>

#include <map>

// One line of a trace: something the terminal did, with when it happened and
// on which host connection. Records are made by the Tracer in the order the
// terminal reports its events, and written by the trace writers (text or JSON
// lines), the control interface and the monitor window, which all read the
// same fields.
struct TraceRecord {
    enum class Kind {
        Link,       // a host connection or the ident port changed; tag: the event
        Received,   // one read from the host, before any layer
        Comutadora, // what the Comutadora filter kept and dropped of a read
        Telnet,     // one Telnet command and its answer
        Command,    // one host command in the interpreter's words
        Sent,       // bytes handed to a host connection; tag: their origin
        Operator,   // a control of the terminal was used
        Message,    // a message shown to the user
        Note,       // reported by a part outside the terminal (a fault); tag: its kind
    };
    enum class Direction { FromHost, ToHost, Local };

    qint64 number = 0;  // 1, 2, ... within one trace
    qint64 timeUs = 0;  // wall clock, microseconds since 1970-01-01 UTC
    qint64 deltaUs = 0; // since the record before, 0 for the first
    Kind kind = Kind::Note;
    Direction direction = Direction::Local;
    QString peer; // "address:port" of the host side, empty when local
    QByteArray bytes;
    QString text;
    QString tag;
    // A host diagnostic: the kind of thing the terminal does not forgive
    // ("cut-command", "stray-bytes", ...); empty for an ordinary record.
    QString warning;
    // Commands like the one before, folded into this record; 0 for a single one.
    qint64 repeated = 0;
};

const char *kindName(TraceRecord::Kind kind);
// "in", "out", "local".
const char *directionName(TraceRecord::Direction direction);

// Warnings and notes of one trace, counted by kind.
struct TraceSummary {
    qint64 records = 0;
    std::map<QString, qint64> warnings;
    std::map<QString, qint64> notes;

    // Counts one record: a folded record's warning once for each command it stands for.
    void count(const TraceRecord &record);
};

// The kinds of warning, each a way in which the host lost something.
namespace warnings {
inline const QString kCutCommand = QStringLiteral("cut-command");
inline const QString kStrayBytes = QStringLiteral("stray-bytes");
inline const QString kUnknownLetter = QStringLiteral("unknown-letter");
inline const QString kBadCursorOperands = QStringLiteral("bad-cursor-operands");
inline const QString kWrappedText = QStringLiteral("wrapped-text");
inline const QString kBusyReply = QStringLiteral("busy-reply");
inline const QString kEndlessSubnegotiation = QStringLiteral("endless-subnegotiation");
inline const QString kNegotiationLoop = QStringLiteral("negotiation-loop");
} // namespace warnings
