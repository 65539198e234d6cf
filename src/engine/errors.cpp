#include "engine/errors.h"

#include "engine/cp1252.h"

#include <climits>

AppError::AppError(const QString &text)
    : std::runtime_error(text.toStdString()), m_text(text)
{
}

ConversionError::ConversionError(const QByteArray &offendingText)
    : AppError(QStringLiteral("'%1' is not a valid integer value").arg(fromCp1252(offendingText))),
      m_offending(offendingText)
{
}

int StrToInt(const QByteArray &text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= n)
        throw ConversionError(text);
    long long value = 0;
    for (; i < n; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            throw ConversionError(text);
        value = value * 10 + (c - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            throw ConversionError(text);
    }
    if (negative)
        value = -value;
    if (value > INT_MAX || value < INT_MIN)
        throw ConversionError(text);
    return static_cast<int>(value);
}

int StrToInt(const QString &text)
{
    return StrToInt(toCp1252(text));
}

QString errorReportText(const QString &text)
{
    if (!text.isEmpty() && text.back() > QLatin1Char('.'))
        return text + QLatin1Char('.');
    return text;
}
