#pragma once

#include <QByteArray>

#include <optional>

// The text notation of scale readings: literal characters, and byte codes
// written as "<", one or two decimal digits, ">" (so "<2>12345<3>" is
// STX "12345" ETX). Characters other than digits inside a code are skipped and
// a code may run to the end of the text ("<7" is 0x07). A code with no digit or
// more than two, or a ">" outside a code, puts the whole item in error.
std::optional<QByteArray> decodeScaleReading(const QByteArray &text);

// What an item in error becomes, both in the list and on the wire.
inline const QByteArray kScaleErrorText = QByteArrayLiteral("Erro: <..>");
