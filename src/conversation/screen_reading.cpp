#include "conversation/screen_reading.h"

#include "engine/cp1252.h"
#include "engine/display_model.h"
#include "engine/outputs.h"

#include <deque>

namespace conversation {

namespace {

QString withoutTrailingSpaces(const QByteArray &line)
{
    qsizetype end = line.size();
    while (end > 0 && line.at(end - 1) == ' ')
        --end;
    return fromCp1252(line.left(end));
}

QStringList linesSince(const std::deque<QByteArray> &log, quint64 added, quint64 since)
{
    QStringList lines;
    const quint64 first = added - log.size();
    for (quint64 index = std::max(since, first); index < added; ++index)
        lines.append(fromCp1252(log.at(std::size_t(index - first))));
    return lines;
}

} // namespace

LogMarks logMarks(const Outputs &outputs)
{
    return {outputs.parallelLinesAdded(), outputs.serialLinesAdded()};
}

Screen readScreen(const DisplayModel &display, const Outputs &outputs, const LogMarks &since)
{
    Screen screen;
    screen.display = QStringList{withoutTrailingSpaces(display.view1()), withoutTrailingSpaces(display.view2())};
    for (int i = 0; i < 4; ++i)
        screen.leds.append(ledText(outputs.ledColor(i)));
    screen.printer = linesSince(outputs.parallelLog(), outputs.parallelLinesAdded(), since.printer);
    screen.serial = linesSince(outputs.serialLog(), outputs.serialLinesAdded(), since.serial);
    return screen;
}

QString ledText(quint32 rgb)
{
    return QStringLiteral("#%1").arg(rgb & 0xFFFFFF, 6, 16, QLatin1Char('0'));
}

} // namespace conversation
