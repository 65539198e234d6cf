#include "conversation/mismatch_report.h"

#include <QJsonArray>

#include <vector>

namespace conversation {

namespace {

constexpr qsizetype kMaxDiffCells = 4 * 1000 * 1000;
constexpr qsizetype kMaxTraceRecords = 40;

QString shown(const Matcher &matcher)
{
    return matcher.kind == Matcher::Kind::Exact ? matcher.text : QString::fromUtf8(jsonText(matcher.toJson()));
}

const FieldExpectation *fieldOf(const Step &step, const QString &name)
{
    for (const FieldExpectation &field : step.fields)
        if (field.name == name)
            return &field;
    return nullptr;
}

qsizetype firstDifference(const QString &a, const QString &b)
{
    const qsizetype n = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < n; ++i)
        if (a.at(i) != b.at(i))
            return i;
    return n;
}

void displayLines(QString &out, const FieldExpectation &field, const QStringList &actual)
{
    for (qsizetype i = 0; i < actual.size() && i < qsizetype(field.items.size()); ++i) {
        const Matcher &matcher = field.items[std::size_t(i)];
        if (matcher.matches(actual.at(i)))
            continue;
        out += QStringLiteral("  display line %1\n    expected: %2\n    actual:   %3\n")
                   .arg(i + 1)
                   .arg(shown(matcher), actual.at(i));
        if (matcher.kind == Matcher::Kind::Exact)
            out += QStringLiteral("              %1^\n").arg(QString(firstDifference(matcher.text, actual.at(i)), QLatin1Char(' ')));
    }
}

} // namespace

QStringList unifiedDiff(const FieldExpectation &expected, const QStringList &actual)
{
    const qsizetype n = qsizetype(expected.items.size());
    const qsizetype m = actual.size();
    QStringList body;
    if ((n + 1) * (m + 1) > kMaxDiffCells) {
        for (const Matcher &matcher : expected.items)
            body.append(QLatin1Char('-') + shown(matcher));
        for (const QString &line : actual)
            body.append(QLatin1Char('+') + line);
    } else {
        // Longest common subsequence from the end, then one walk from the start.
        std::vector<int> lcs(std::size_t((n + 1) * (m + 1)), 0);
        const auto at = [&](qsizetype i, qsizetype j) -> int & { return lcs[std::size_t(i * (m + 1) + j)]; };
        for (qsizetype i = n - 1; i >= 0; --i)
            for (qsizetype j = m - 1; j >= 0; --j)
                at(i, j) = expected.items[std::size_t(i)].matches(actual.at(j))
                               ? at(i + 1, j + 1) + 1
                               : std::max(at(i + 1, j), at(i, j + 1));
        qsizetype i = 0;
        qsizetype j = 0;
        while (i < n || j < m) {
            if (i < n && j < m && expected.items[std::size_t(i)].matches(actual.at(j))) {
                body.append(QLatin1Char(' ') + actual.at(j));
                ++i;
                ++j;
            } else if (i < n && (j == m || at(i + 1, j) >= at(i, j + 1))) {
                body.append(QLatin1Char('-') + shown(expected.items[std::size_t(i++)]));
            } else {
                body.append(QLatin1Char('+') + actual.at(j++));
            }
        }
    }
    QStringList out{QStringLiteral("--- expected"), QStringLiteral("+++ actual"),
                    QStringLiteral("@@ -%1,%2 +%3,%4 @@").arg(n ? 1 : 0).arg(n).arg(m ? 1 : 0).arg(m)};
    return out + body;
}

QString headline(const Mismatch &mismatch)
{
    const QString who = mismatch.terminal.isEmpty() ? QString() : QStringLiteral("terminal %1: ").arg(mismatch.terminal);
    const QString after = mismatch.actionLine
                              ? QStringLiteral("after %1 (line %2)")
                                    .arg(QString::fromUtf8(mismatch.action))
                                    .arg(mismatch.actionLine)
                              : QStringLiteral("before the first action");
    return QStringLiteral("%1%2:%3: step %4, %5: the terminal did not show what was expected within %6 ms")
        .arg(who, mismatch.file)
        .arg(mismatch.line)
        .arg(mismatch.step)
        .arg(after)
        .arg(mismatch.timeoutMs);
}

QString reportText(const Mismatch &mismatch)
{
    QString out = headline(mismatch) + QLatin1Char('\n');
    const Step &step = *mismatch.expectation;
    for (const QString &name : step.differingFields(mismatch.actual)) {
        const FieldExpectation &field = *fieldOf(step, name);
        const QStringList &actual = mismatch.actual.field(name);
        if (name == QLatin1String("display")) {
            displayLines(out, field, actual);
        } else if (name == QLatin1String("leds")) {
            QStringList expected;
            for (const Matcher &matcher : field.items)
                expected.append(shown(matcher));
            out += QStringLiteral("  LEDs 0 to 3\n    expected: %1\n    actual:   %2\n")
                       .arg(expected.join(QLatin1Char(' ')), actual.join(QLatin1Char(' ')));
        } else {
            out += QStringLiteral("  %1 lines since the action\n").arg(name);
            for (const QString &line : unifiedDiff(field, actual))
                out += QStringLiteral("    ") + line + QLatin1Char('\n');
        }
    }
    if (!mismatch.trace.isEmpty()) {
        out += QStringLiteral("  trace of step %1\n").arg(mismatch.step);
        const QStringList records = mismatch.trace.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        // The end of the step says most about what the terminal was left waiting for.
        const qsizetype first = std::max<qsizetype>(0, records.size() - kMaxTraceRecords);
        if (first > 0)
            out += QStringLiteral("    (%1 earlier records of the step left out)\n").arg(first);
        for (qsizetype i = first; i < records.size(); ++i)
            out += QStringLiteral("    ") + records.at(i) + QLatin1Char('\n');
    }
    return out;
}

QJsonObject toJson(const Mismatch &mismatch)
{
    QJsonObject differences;
    const Step &step = *mismatch.expectation;
    for (const QString &name : step.differingFields(mismatch.actual))
        differences.insert(name, QJsonObject{{QStringLiteral("expected"), step.expect.value(name)},
                                             {QStringLiteral("actual"),
                                              QJsonArray::fromStringList(mismatch.actual.field(name))}});
    QJsonObject object{{QStringLiteral("file"), mismatch.file},
                       {QStringLiteral("line"), mismatch.line},
                       {QStringLiteral("step"), mismatch.step},
                       {QStringLiteral("action"), QString::fromUtf8(mismatch.action)},
                       {QStringLiteral("action_line"), mismatch.actionLine},
                       {QStringLiteral("waited_ms"), mismatch.waitedMs},
                       {QStringLiteral("differences"), differences},
                       {QStringLiteral("report"), reportText(mismatch)}};
    if (!mismatch.terminal.isEmpty())
        object.insert(QStringLiteral("terminal"), mismatch.terminal);
    return object;
}

QByteArray updatedExpectLine(const Step &expectation, const Screen &actual)
{
    QJsonObject expect = expectation.expect;
    for (const FieldExpectation &field : expectation.fields) {
        const QStringList &values = actual.field(field.name);
        if (field.matches(values))
            continue;
        QJsonArray items;
        const bool sameLength = qsizetype(field.items.size()) == values.size();
        for (qsizetype i = 0; i < values.size(); ++i) {
            const Matcher *matcher = sameLength ? &field.items[std::size_t(i)] : nullptr;
            items.append(matcher && matcher->matches(values.at(i)) ? matcher->toJson() : QJsonValue(values.at(i)));
        }
        expect.insert(field.name, items);
    }
    return expectLine(expect, expectation.afterMs);
}

QByteArray updatedFile(const Conversation &conversation, const std::map<int, QByteArray> &replaced)
{
    QByteArray out;
    for (qsizetype i = 0; i < conversation.lines.size(); ++i) {
        const auto found = replaced.find(int(i + 1));
        if (found == replaced.end()) {
            out += conversation.lines.at(i) + '\n';
        } else if (conversation.lines.at(i).endsWith('\r')) {
            // A line written anew ends as the line it replaces.
            out += found->second.chopped(1) + "\r\n";
        } else {
            out += found->second; // with its newline
        }
    }
    return out;
}

} // namespace conversation
