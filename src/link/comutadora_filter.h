#pragma once

#include <QByteArray>

// Keeps, from one read of host data, only the frames addressed to terminal 00
// behind the Comutadora concentrator: STX, a command byte, "00", the parameters
// and ETX, each passed on whole and in order. Every other byte is dropped one at
// a time, so an STX inside a frame for another address can still start a frame
// for terminal 00. Nothing is kept between reads: a frame for terminal 00 whose
// ETX has not arrived by the end of the read is passed on as far as it goes, as
// the interpreter does with a delivery that ends inside a frame.
QByteArray ComutadoraFilter(const QByteArray &read);
