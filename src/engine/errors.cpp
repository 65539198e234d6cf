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

bool tryStrToInt(const char *text, qsizetype n, int *value)
{
    qsizetype i = 0;
    while (i < n && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= n)
        return false;
    long long result = 0;
    for (; i < n; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + (c - '0');
        if (result > static_cast<long long>(INT_MAX) + 1)
            return false;
    }
    if (negative)
        result = -result;
    if (result > INT_MAX || result < INT_MIN)
        return false;
    if (value)
        *value = static_cast<int>(result);
    return true;
}

int StrToInt(const QByteArray &text)
{
    int value = 0;
    if (!tryStrToInt(text.constData(), text.size(), &value))
        throw ConversionError(text);
    return value;
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
