#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

// A conversation file: what an operator did at the terminal and what the
// terminal showed before each action, as UTF-8 JSON lines a person reads and
// edits.
//
//   {"conversation":1,"program":"ethernet","version":"2.0.0.16","recorded":"...","settings":{...}}
//   {"expect":{"display":["MENU",""],"leds":[...],"printer":[],"serial":[]},"after_ms":1200}
//   {"do":"key","key":"1"}
//
// The header comes first; then expectation lines ("expect") and action lines
// ("do", named and argued as the control command that does the action), in
// the order of the conversation. Lines starting with "#" and blank lines are
// comments. A file is read and checked whole before anything runs: the first
// fault ends the reading with "FILE:LINE: what is wrong". Matchers are
// compiled once here, so a replay only compares.
namespace conversation {

constexpr int kFormatVersion = 1;
// Bounds on what a file may hold: the reader refuses more rather than growing without end.
constexpr qsizetype kMaxFileBytes = 64 * 1024 * 1024;
constexpr qsizetype kMaxLineBytes = 1024 * 1024;
constexpr qsizetype kMaxListLines = 10000;

// One value an expectation allows: the text itself, a regular expression that
// must match the whole value, or anything.
struct Matcher {
    enum class Kind { Exact, Pattern, Any };
    Kind kind = Kind::Exact;
    QString text; // the exact text, or the pattern as written
    QRegularExpression pattern;

    bool matches(const QString &value) const;
    // The matcher as a file writes it: "text", {"re":"..."} or {"any":true}.
    QJsonValue toJson() const;
};

// One field of an expectation: a list of matchers, one per value (display
// lines, LEDs, printer or serial lines), or {"any":true} for the whole list.
struct FieldExpectation {
    QString name;
    bool anything = false;
    std::vector<Matcher> items;

    bool matches(const QStringList &values) const;
};

// What the terminal showed, in the terms of an expectation: the two display
// lines without their trailing spaces, the four LED colours ("#rrggbb",
// LED 0 first) and the printer and serial lines added since the last action.
struct Screen {
    QStringList display;
    QStringList leds;
    QStringList printer;
    QStringList serial;

    const QStringList &field(const QString &name) const;
    // All four fields, in the order a file writes them.
    QJsonObject toJson() const;
};

// A field of an expectation is one of these four.
const QStringList &fieldNames();

struct Step {
    enum class Kind { Action, Expect };
    Kind kind = Kind::Action;
    int line = 0;        // 1-based line of the file
    qint64 afterMs = -1; // "after_ms", -1 when absent
    // Action: the command and its arguments ("do" and "after_ms" left out).
    QString command;
    QJsonObject args;
    // Expectation: the object as written, and its fields compiled.
    QJsonObject expect;
    std::vector<FieldExpectation> fields;

    bool holds(const Screen &screen) const;
    // The fields whose values do not match.
    QStringList differingFields(const Screen &screen) const;
    // The action as a line shows it: {"do":"key","key":"1"}.
    QByteArray actionText() const;
};

struct Conversation {
    QString fileName;
    QJsonObject header;
    QJsonObject settings;
    std::vector<Step> steps;
    // The lines of the file as read, for writing an updated copy.
    QList<QByteArray> lines;
    int expectationCount() const;
};

// Checks and reads a whole file's content. nullopt, with "FILE:LINE: what is
// wrong" in *error, on the first fault.
std::optional<Conversation> parse(const QByteArray &content, const QString &fileName, QString *error);
// Reads the file at path; a file that cannot be read is an error too, with
// "cannot read FILE: why" in *error.
std::optional<Conversation> readFile(const QString &path, QString *error);

// Checks the arguments of an action line; an empty string when they are good.
QString checkAction(const QString &command, const QJsonObject &args);

// ---- Writing ----
// Each returns one line with its newline. Keys are written in a reading
// order ("do" first, "after_ms" last), not sorted.
QByteArray headerLine(const QJsonObject &settings, const QDateTime &recorded);
QByteArray actionLine(const QString &command, const QJsonObject &args, qint64 afterMs = -1);
QByteArray expectLine(const QJsonObject &expect, qint64 afterMs = -1);
// A JSON value in the compact form of a line.
QByteArray jsonText(const QJsonValue &value);

// The settings a replay compares with its terminal's before the first step.
const QStringList &checkedSettings();

} // namespace conversation
