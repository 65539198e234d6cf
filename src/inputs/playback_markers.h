#pragma once

#include <QByteArray>

// The two markers of a playback input, applied to what is left of the input at
// each tick: a last group of four characters that begins with "<" becomes CR
// (end marker), and an input that then begins with "<" loses its first three
// characters and sends the rest at once (burst marker). Anything else sends its
// first character. The rule is kept apart from the timer so that it can be
// checked on any text without a script or a connection.
struct PlaybackStep {
    enum class Kind { Nothing, Key, Burst };
    Kind kind = Kind::Nothing;
    // Key: the one character to type; Burst: the characters sent together.
    QByteArray bytes;
};

// Takes this tick's characters from the front of input and leaves the rest in
// it. An empty input gives Nothing and stays empty; every other input gets
// shorter by at least one character.
PlaybackStep takePlaybackStep(QByteArray &input);
