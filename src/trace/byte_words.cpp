#include "trace/byte_words.h"

namespace bytewords {

namespace {

bool isPrintable(unsigned char b)
{
    return b >= 0x20 && b < 0x7F;
}

const char kHexDigits[] = "0123456789abcdef";

} // namespace

const char *controlName(unsigned char b)
{
    static const char *const names[] = {"NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL",
                                        "BS",  "HT",  "LF",  "VT",  "FF",  "CR",  "SO",  "SI",
                                        "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB",
                                        "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};
    if (b < 0x20)
        return names[b];
    if (b == 0x7F)
        return "DEL";
    return "";
}

QString operand(char c)
{
    const auto b = static_cast<unsigned char>(c);
    if (isPrintable(b))
        return QStringLiteral("'%1'").arg(QLatin1Char(c));
    return QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0'));
}

QString quoted(const QByteArray &text, qsizetype limit)
{
    // Built in bytes (everything but the ellipsis is ASCII) and made text once.
    QByteArray out;
    const qsizetype n = limit >= 0 && text.size() > limit ? limit : text.size();
    out.reserve(n + 8);
    bool inQuotes = false;
    for (qsizetype i = 0; i < n; ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (isPrintable(b) && b != '"') {
            if (!inQuotes) {
                if (!out.isEmpty())
                    out += ' ';
                out += '"';
                inQuotes = true;
            }
            out += text[i];
            continue;
        }
        if (inQuotes) {
            out += '"';
            inQuotes = false;
        }
        if (!out.isEmpty())
            out += ' ';
        if (b == '"') {
            out += "'\"'";
        } else if (*controlName(b)) {
            out += controlName(b);
        } else {
            out += kHexDigits[b >> 4];
            out += kHexDigits[b & 0xF];
        }
    }
    if (inQuotes)
        out += '"';
    if (out.isEmpty() && n == text.size())
        return QStringLiteral("\"\"");
    QString result = QString::fromLatin1(out);
    if (n < text.size())
        result += QStringLiteral(" …");
    return result;
}

QString tokens(const QByteArray &bytes, qsizetype limit)
{
    QString out;
    const qsizetype n = limit >= 0 && bytes.size() > limit ? limit : bytes.size();
    for (qsizetype i = 0; i < n; ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (i > 0)
            out += QLatin1Char(' ');
        if (isPrintable(b))
            out += QLatin1Char(bytes[i]);
        else if (*controlName(b))
            out += QLatin1String(controlName(b));
        else
            out += QStringLiteral("%1").arg(b, 2, 16, QLatin1Char('0'));
    }
    if (n < bytes.size())
        out += QStringLiteral(" …");
    return out;
}

void appendSpacedHex(QByteArray &out, const QByteArray &bytes, qsizetype limit)
{
    const qsizetype n = limit >= 0 && bytes.size() > limit ? limit : bytes.size();
    if (n == 0)
        return;
    const qsizetype at = out.size();
    out.resize(at + n * 3 - 1);
    char *p = out.data() + at;
    for (qsizetype i = 0; i < n; ++i) {
        if (i > 0)
            *p++ = ' ';
        const auto b = static_cast<unsigned char>(bytes[i]);
        *p++ = kHexDigits[b >> 4];
        *p++ = kHexDigits[b & 0xF];
    }
}

QString hex(const QByteArray &bytes, qsizetype limit)
{
    QByteArray out;
    appendSpacedHex(out, bytes, limit);
    QString text = QString::fromLatin1(out);
    if (limit >= 0 && bytes.size() > limit)
        text += QStringLiteral(" …");
    return text;
}

void appendHex(QByteArray &out, const char *data, qsizetype size)
{
    const qsizetype at = out.size();
    out.resize(at + 2 * size);
    char *p = out.data() + at;
    for (qsizetype i = 0; i < size; ++i) {
        const auto b = static_cast<unsigned char>(data[i]);
        *p++ = kHexDigits[b >> 4];
        *p++ = kHexDigits[b & 0xF];
    }
}

QByteArray printable(const QByteArray &bytes, qsizetype limit)
{
    QByteArray out;
    appendPrintable(out, bytes, limit);
    return out;
}

void appendPrintable(QByteArray &out, const QByteArray &bytes, qsizetype limit)
{
    const qsizetype n = limit >= 0 && bytes.size() > limit ? limit : bytes.size();
    const qsizetype at = out.size();
    out.resize(at + n);
    char *p = out.data() + at;
    for (qsizetype i = 0; i < n; ++i)
        p[i] = isPrintable(static_cast<unsigned char>(bytes[i])) ? bytes[i] : '.';
}

} // namespace bytewords
