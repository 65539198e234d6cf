#pragma once

#include <QByteArray>

// The control bytes of the host protocols and the two frame shapes in which the
// terminal answers as address 00 behind a Comutadora concentrator: a data byte
// travels alone in STX "0" "0" b ETX, and a frame that begins STX ESC carries
// "00" right after the ESC.
namespace frames {

constexpr char kStx = 0x02;
constexpr char kEtx = 0x03;
constexpr char kEnq = 0x05;
constexpr char kBs = 0x08;
constexpr char kLf = 0x0A;
constexpr char kCr = 0x0D;
constexpr char kDle = 0x10;
constexpr char kEsc = 0x1B;
constexpr char kDel = 0x7F;

// One data byte addressed to terminal 00.
inline QByteArray comutadoraData(char b)
{
    QByteArray frame;
    frame.reserve(5);
    frame.append(kStx).append('0').append('0').append(b).append(kEtx);
    return frame;
}

// STX ESC, the address "00" when the concentrator is emulated, the body, ETX.
inline QByteArray escapeFrame(const QByteArray &body, bool comutadora)
{
    QByteArray frame;
    frame.reserve(body.size() + 5);
    frame.append(kStx).append(kEsc);
    if (comutadora)
        frame.append("00");
    frame.append(body).append(kEtx);
    return frame;
}

} // namespace frames
