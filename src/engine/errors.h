#pragma once

#include <QByteArray>
#include <QString>

#include <stdexcept>

// Errors that end the work of one event. An AppError is shown in the general
// error report; a SilentAbort ends the event without any message. Neither may
// cross Qt code: every entry point the event loop calls runs through guarded().
class AppError : public std::runtime_error {
public:
    explicit AppError(const QString &text);
    const QString &text() const { return m_text; }

private:
    QString m_text;
};

// "'%s' is not a valid integer value"
class ConversionError : public AppError {
public:
    explicit ConversionError(const QByteArray &offendingText);
    const QByteArray &offendingText() const { return m_offending; }

private:
    QByteArray m_offending;
};

class SilentAbort {};

// Decimal conversion as the terminal's firmware tools do it: leading blanks and
// an optional sign, then decimal digits only, within a signed 32-bit value.
// Anything else (empty text, letters, trailing blanks, overflow) throws ConversionError.
int StrToInt(const QByteArray &text);
int StrToInt(const QString &text);
// The same conversion without the exception: false where StrToInt throws.
bool tryStrToInt(const char *text, qsizetype size, int *value = nullptr);

// The text of the general error report: a full stop is added when the last
// character comes after "." in character order.
QString errorReportText(const QString &text);
