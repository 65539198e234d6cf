#include "inputs/scale_notation.h"

std::optional<QByteArray> decodeScaleReading(const QByteArray &text)
{
    QByteArray reading;
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n) {
        const char c = text[i];
        if (c == '>')
            return std::nullopt;
        if (c != '<') {
            reading += c;
            ++i;
            continue;
        }
        ++i;
        int digits = 0;
        int value = 0;
        for (; i < n && text[i] != '>'; ++i) {
            const char d = text[i];
            if (d >= '0' && d <= '9') {
                // Counting on past two digits only to reject the code; the value stays small.
                if (++digits <= 2)
                    value = value * 10 + (d - '0');
            }
        }
        if (digits == 0 || digits > 2)
            return std::nullopt;
        reading += static_cast<char>(value);
        if (i < n)
            ++i;
    }
    return reading;
}
