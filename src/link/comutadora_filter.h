#pragma once

#include "engine/frames.h"

#include <QByteArray>

#include <bitset>

// Keeps, from one read of host data, only the frames addressed to one terminal
// behind the Comutadora concentrator (terminal 00 unless told otherwise): STX,
// a command byte, the address, the parameters and ETX, each passed on whole
// and in order. Every other byte is dropped one at
// a time, so an STX inside a frame for another address can still start a frame
// for this terminal. Nothing is kept between reads: a frame for it whose
// ETX has not arrived by the end of the read is passed on as far as it goes, as
// the interpreter does with a delivery that ends inside a frame.
QByteArray ComutadoraFilter(const QByteArray &read, frames::BusAddress address = frames::kDefaultAddress);

// The two-digit addresses "00".."99" that some STX of the read is followed,
// two bytes on, by: the only terminals the filter can pass anything to. A
// concentrator that plays many terminals filters the read for these alone.
std::bitset<100> ComutadoraAddressesIn(const QByteArray &read);
