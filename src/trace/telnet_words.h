#pragma once

#include <QByteArray>
#include <QString>

// Telnet commands in words, as a user reads them in a trace instead of bytes:
// FF FD 18 is "IAC DO TERMINAL-TYPE", FF FA 18 01 FF F0 is
// "IAC SB TERMINAL-TYPE SEND IAC SE".
namespace telnetwords {

// "TERMINAL-TYPE", "ECHO" ...; an option without a name is its decimal number.
QString optionName(unsigned char option);
// One command as the decoder took it out of the stream: IAC verb option,
// IAC SB ... SE, or IAC and a two-byte command.
QString command(const QByteArray &bytes);

} // namespace telnetwords
