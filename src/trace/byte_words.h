#pragma once

#include <QByteArray>
#include <QString>

// How the trace writes bytes in its words: control bytes by their ASCII
// names (STX, ESC, CR ...), printable characters as themselves, the rest in
// hexadecimal; and the plain hex and printable columns of a record.
namespace bytewords {

// "STX", "ETX", "ESC", "CR" ... for the control bytes that have a name, else empty.
const char *controlName(unsigned char b);
// A frame's operand byte: 'A' when printable, else its hex: 05.
QString operand(char b);
// Text as the host sent it: printable runs in double quotes, control bytes by
// name between them: "AB" CR "C". At most `limit` bytes, then an ellipsis.
QString quoted(const QByteArray &text, qsizetype limit = 80);
// ESC [ 0 2 ; 1 0 H: every byte its own token.
QString tokens(const QByteArray &bytes, qsizetype limit = 40);
// "02 1b 01 50 03", lowercase, at most `limit` bytes then " …".
QString hex(const QByteArray &bytes, qsizetype limit = -1);
// The same without the ellipsis, appended to out.
void appendSpacedHex(QByteArray &out, const QByteArray &bytes, qsizetype limit = -1);
// Appends the lowercase hex of bytes (no separator) to out, fast: the JSON lines carry every byte.
void appendHex(QByteArray &out, const char *data, qsizetype size);
// The printable column: bytes 0x20..0x7E as themselves, every other byte ".".
QByteArray printable(const QByteArray &bytes, qsizetype limit = -1);
void appendPrintable(QByteArray &out, const QByteArray &bytes, qsizetype limit = -1);

} // namespace bytewords
