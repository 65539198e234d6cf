#include "conversation/junit_report.h"

#include <QXmlStreamWriter>

#include <map>

namespace conversation {

namespace {

// XML 1.0 has no place for most control characters: they are written as \xNN.
QString xmlSafe(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != '\t' && u != '\n' && u != '\r') || u == 0xFFFE || u == 0xFFFF)
            out += QStringLiteral("\\x%1").arg(int(u), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

} // namespace

QByteArray junitXml(const QList<CaseResult> &results)
{
    std::map<QString, QList<const CaseResult *>> suites;
    for (const CaseResult &result : results)
        suites[result.suite].append(&result);
    int failures = 0;
    double seconds = 0;
    for (const CaseResult &result : results) {
        failures += result.passed ? 0 : 1;
        seconds += result.seconds;
    }
    QByteArray out;
    QXmlStreamWriter xml(&out);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("testsuites"));
    xml.writeAttribute(QStringLiteral("name"), QStringLiteral("conversations"));
    xml.writeAttribute(QStringLiteral("tests"), QString::number(results.size()));
    xml.writeAttribute(QStringLiteral("failures"), QString::number(failures));
    xml.writeAttribute(QStringLiteral("time"), QString::number(seconds, 'f', 3));
    for (const auto &[suite, cases] : suites) {
        int suiteFailures = 0;
        double suiteSeconds = 0;
        for (const CaseResult *result : cases) {
            suiteFailures += result->passed ? 0 : 1;
            suiteSeconds += result->seconds;
        }
        xml.writeStartElement(QStringLiteral("testsuite"));
        xml.writeAttribute(QStringLiteral("name"), suite.isEmpty() ? QStringLiteral("conversations") : suite);
        xml.writeAttribute(QStringLiteral("tests"), QString::number(cases.size()));
        xml.writeAttribute(QStringLiteral("failures"), QString::number(suiteFailures));
        xml.writeAttribute(QStringLiteral("errors"), QStringLiteral("0"));
        xml.writeAttribute(QStringLiteral("time"), QString::number(suiteSeconds, 'f', 3));
        for (const CaseResult *result : cases) {
            xml.writeStartElement(QStringLiteral("testcase"));
            xml.writeAttribute(QStringLiteral("classname"),
                               suite.isEmpty() ? QStringLiteral("conversation") : QStringLiteral("conversation.") + suite);
            xml.writeAttribute(QStringLiteral("name"), xmlSafe(result->name));
            xml.writeAttribute(QStringLiteral("time"), QString::number(result->seconds, 'f', 3));
            if (!result->passed) {
                xml.writeStartElement(QStringLiteral("failure"));
                xml.writeAttribute(QStringLiteral("message"), xmlSafe(result->message));
                xml.writeAttribute(QStringLiteral("type"), QStringLiteral("mismatch"));
                xml.writeCharacters(xmlSafe(result->report));
                xml.writeEndElement();
            }
            xml.writeEndElement();
        }
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndDocument();
    return out;
}

} // namespace conversation
