#pragma once

#include <QByteArray>

// The splash picture: a JPEG stored in the program's resources, decoded with
// libjpeg into plain RGB rows that the splash window stretches over itself.
struct DecodedImage {
    int width = 0;
    int height = 0;
    QByteArray rgb; // width * height * 3 bytes, rows top to bottom
};

// An empty image (width 0) for anything that is not a JPEG libjpeg decodes
// cleanly: errors and corrupt-data warnings alike, pictures larger than
// kMaxPixels, and scripts of more than kMaxScans progressive scans.
DecodedImage decodeJpeg(const QByteArray &jpegBytes);

// The stored splash picture's bytes.
QByteArray splashJpeg();

inline constexpr long kMaxPixels = 16L * 1024 * 1024;
inline constexpr int kMaxScans = 500;
