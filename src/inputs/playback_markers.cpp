#include "inputs/playback_markers.h"

#include <utility>

PlaybackStep takePlaybackStep(QByteArray &input)
{
    PlaybackStep step;
    if (input.isEmpty())
        return step;
    if (input.size() >= 4 && input.at(input.size() - 4) == '<') {
        input.chop(4);
        input += '\r';
    }
    if (input.startsWith('<')) {
        step.kind = PlaybackStep::Kind::Burst;
        step.bytes = input.mid(3);
        input.clear();
    } else {
        step.kind = PlaybackStep::Kind::Key;
        step.bytes = input.left(1);
        input.remove(0, 1);
    }
    return step;
}
