#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// Line handling shared by the code list and the scale readings: text files and
// memo texts are split on CR LF, a lone CR or a lone LF, and a line break at the
// very end does not start another (empty) line.
QList<QByteArray> splitTextLines(const QByteArray &text);

// Reads a whole text file as bytes; std::nullopt when it is missing or unreadable.
std::optional<QByteArray> readTextFile(const QString &path);
