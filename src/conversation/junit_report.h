#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace conversation {

// One replayed file as a CI system sees it: a test case, with the report in
// its failure element when it did not pass.
struct CaseResult {
    QString name;    // the file as given
    QString suite;   // the terminal in a fleet; empty for a lone terminal
    bool passed = false;
    QString message; // one line
    QString report;  // the whole report
    double seconds = 0;
    int steps = 0;
};

// JUnit XML: one <testsuite> per terminal (one for a lone terminal), one
// <testcase> per file.
QByteArray junitXml(const QList<CaseResult> &results);

} // namespace conversation
