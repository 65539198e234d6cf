#pragma once

#include "conversation/conversation_file.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <map>

namespace conversation {

// One expectation that did not hold within the step's time: where it is, the
// action before it, what the terminal showed instead, and the trace of what
// the host sent and the terminal made of it during the step.
struct Mismatch {
    QString file;
    QString terminal; // the fleet member, empty for a lone terminal
    int line = 0;     // of the expectation
    int step = 0;     // the expectation's number, from 1
    int actionLine = 0; // 0 when no action came before
    QByteArray action;
    qint64 waitedMs = 0;  // as measured
    qint64 timeoutMs = 0; // the step's time
    const Step *expectation = nullptr;
    Screen actual;
    QString trace;
};

// The report a person reads: the file and line, the step and the action
// before it; display lines expected above actual with a mark under the first
// column that differs; printer and serial lines as a unified diff; the LEDs
// when they differ; the trace of the step.
QString reportText(const Mismatch &mismatch);
// The first line of the report, for a summary or a JUnit failure message.
QString headline(const Mismatch &mismatch);
// The mismatch as data, for programs: file, line, step, action, the fields
// that differ with expected and actual values.
QJsonObject toJson(const Mismatch &mismatch);

// The expectation line rewritten with what was observed: fields and values
// that still match stay as written (a regular expression, "any"), the others
// take the observed values.
QByteArray updatedExpectLine(const Step &expectation, const Screen &actual);
// The file's lines with some replaced (by 1-based line number).
QByteArray updatedFile(const Conversation &conversation, const std::map<int, QByteArray> &replaced);

// The lines of a unified diff of expected (matchers) against actual, with the
// "---"/"+++" heads; an expected line that matches its counterpart is equal.
QStringList unifiedDiff(const FieldExpectation &expected, const QStringList &actual);

} // namespace conversation
