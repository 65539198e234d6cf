#pragma once

#include <QByteArray>
#include <QString>

// Wire data, files and display cells are single bytes in Windows-1252. These
// two functions are the only place where bytes become text for a widget or a
// message and back. Bytes that Windows-1252 leaves undefined map to the C1
// control of the same value so that every byte survives a round trip.
QString fromCp1252(const QByteArray &bytes);
QByteArray toCp1252(const QString &text);
char toCp1252(QChar c);
