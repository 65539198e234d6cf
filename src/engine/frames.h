#pragma once

#include <QByteArray>

#include <array>

// The control bytes of the host protocols and the two frame shapes in which the
// terminal answers behind a Comutadora concentrator: a data byte travels alone
// in STX a1 a2 b ETX, and a frame that begins STX ESC carries the address a1 a2
// right after the ESC. The address is the terminal's two digits on the RS485
// bus, "00" unless a concentrator plays several terminals.
namespace frames {

using BusAddress = std::array<char, 2>;
constexpr BusAddress kDefaultAddress{'0', '0'};

constexpr char kStx = 0x02;
constexpr char kEtx = 0x03;
constexpr char kEnq = 0x05;
constexpr char kBs = 0x08;
constexpr char kLf = 0x0A;
constexpr char kCr = 0x0D;
constexpr char kDle = 0x10;
constexpr char kEsc = 0x1B;
constexpr char kDel = 0x7F;

// One data byte from the terminal at the address.
inline QByteArray comutadoraData(char b, BusAddress address = kDefaultAddress)
{
    QByteArray frame;
    frame.reserve(5);
    frame.append(kStx).append(address[0]).append(address[1]).append(b).append(kEtx);
    return frame;
}

// STX ESC, the address when the concentrator is emulated, the body, ETX.
inline QByteArray escapeFrame(const QByteArray &body, bool comutadora, BusAddress address = kDefaultAddress)
{
    QByteArray frame;
    frame.reserve(body.size() + 5);
    frame.append(kStx).append(kEsc);
    if (comutadora)
        frame.append(address[0]).append(address[1]);
    frame.append(body).append(kEtx);
    return frame;
}

} // namespace frames
