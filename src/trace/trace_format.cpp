#include "trace/trace_format.h"

#include "trace/byte_words.h"

#include <QDateTime>

namespace traceformat {

namespace {

constexpr qsizetype kTextBytes = 16;

// Formatting a date is slow; records come in thousands a second, so the date
// and time of the current second are made once.
struct SecondCache {
    qint64 second = -1;
    QByteArray text;
};

const QByteArray &secondText(qint64 timeUs, bool utc)
{
    static SecondCache local;
    static SecondCache universal;
    SecondCache &cache = utc ? universal : local;
    const qint64 second = timeUs / 1000000;
    if (second != cache.second) {
        cache.second = second;
        const QDateTime at = utc ? QDateTime::fromSecsSinceEpoch(second, Qt::UTC)
                                 : QDateTime::fromSecsSinceEpoch(second);
        cache.text = at.toString(utc ? QStringLiteral("yyyy-MM-ddTHH:mm:ss") : QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                         .toLatin1();
    }
    return cache.text;
}

void appendMicros(QByteArray &out, qint64 micros)
{
    char digits[7];
    for (int i = 5; i >= 0; --i) {
        digits[i] = char('0' + micros % 10);
        micros /= 10;
    }
    digits[6] = 0;
    out.append(digits, 6);
}

void pad(QByteArray &out, qsizetype from, qsizetype width)
{
    const qsizetype used = out.size() - from;
    if (used < width)
        out.append(width - used, ' ');
}

void appendJsonString(QByteArray &out, const QString &text)
{
    out += '"';
    const QByteArray utf8 = text.toUtf8();
    for (const char c : utf8) {
        const auto b = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (b < 0x20) {
                static const char hexDigits[] = "0123456789abcdef";
                out += "\\u00";
                out += hexDigits[b >> 4];
                out += hexDigits[b & 0xF];
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

void appendKey(QByteArray &out, const char *key)
{
    out += ",\"";
    out += key;
    out += "\":";
}

} // namespace

const char *tagName(TraceRecord::Kind kind)
{
    switch (kind) {
    case TraceRecord::Kind::Link:
        return "event";
    case TraceRecord::Kind::Sent:
        return "origin";
    case TraceRecord::Kind::Note:
        return "note";
    default:
        return nullptr;
    }
}

void appendText(QByteArray &out, const TraceRecord &r)
{
    out += secondText(r.timeUs, false);
    out += '.';
    appendMicros(out, r.timeUs % 1000000);
    out += " +";
    out += QByteArray::number(r.deltaUs / 1000000);
    out += '.';
    appendMicros(out, r.deltaUs % 1000000);
    out += ' ';
    qsizetype column = out.size();
    out += r.peer.toLatin1();
    pad(out, column, 21);
    out += ' ';
    switch (r.direction) {
    case TraceRecord::Direction::FromHost:
        out += "<-";
        break;
    case TraceRecord::Direction::ToHost:
        out += "->";
        break;
    case TraceRecord::Direction::Local:
        out += "--";
        break;
    }
    out += ' ';
    column = out.size();
    out += kindName(r.kind);
    pad(out, column, 10);
    out += ' ';
    if (!r.bytes.isEmpty()) {
        column = out.size();
        bytewords::appendSpacedHex(out, r.bytes, kTextBytes);
        // What the record always showed for the bytes left off: the ellipsis of bytewords::hex in Latin-1.
        if (r.bytes.size() > kTextBytes)
            out += " ?";
        pad(out, column, kTextBytes * 3 + 1);
        out += ' ';
        column = out.size();
        bytewords::appendPrintable(out, r.bytes, kTextBytes);
        pad(out, column, kTextBytes);
        out += "  ";
    }
    if (!r.warning.isEmpty()) {
        out += "!! ";
        out += r.warning.toUtf8();
        out += ": ";
    }
    if (const char *tag = tagName(r.kind); tag && !r.tag.isEmpty()) {
        out += '[';
        out += r.tag.toUtf8();
        out += "] ";
    }
    out += r.text.toUtf8();
    out += '\n';
}

void appendJson(QByteArray &out, const TraceRecord &r)
{
    out += "{\"n\":";
    out += QByteArray::number(r.number);
    appendKey(out, "time");
    out += '"';
    out += secondText(r.timeUs, true);
    out += '.';
    appendMicros(out, r.timeUs % 1000000);
    out += "Z\"";
    appendKey(out, "t_us");
    out += QByteArray::number(r.timeUs);
    appendKey(out, "dt_us");
    out += QByteArray::number(r.deltaUs);
    appendKey(out, "kind");
    out += '"';
    out += kindName(r.kind);
    out += '"';
    appendKey(out, "dir");
    out += '"';
    out += directionName(r.direction);
    out += '"';
    appendKey(out, "peer");
    appendJsonString(out, r.peer);
    appendKey(out, "len");
    out += QByteArray::number(r.bytes.size());
    appendKey(out, "hex");
    out += '"';
    bytewords::appendHex(out, r.bytes.constData(), r.bytes.size());
    out += '"';
    appendKey(out, "text");
    appendJsonString(out, r.text);
    if (const char *tag = tagName(r.kind); tag && !r.tag.isEmpty()) {
        appendKey(out, tag);
        appendJsonString(out, r.tag);
    }
    if (!r.warning.isEmpty()) {
        appendKey(out, "warning");
        appendJsonString(out, r.warning);
    }
    if (r.repeated > 0) {
        appendKey(out, "repeated");
        out += QByteArray::number(r.repeated);
    }
    out += "}\n";
}

void append(QByteArray &out, const TraceRecord &record, Format format)
{
    if (format == Format::Text)
        appendText(out, record);
    else
        appendJson(out, record);
}

QByteArray header(Format format, const QString &folder)
{
    const QString started = QDateTime::currentDateTime().toString(Qt::ISODateWithMs);
    if (format == Format::Text)
        return QStringLiteral("# ethernet trace, started %1, working folder %2\n").arg(started, folder).toUtf8();
    QByteArray out = "{\"trace\":{\"program\":\"ethernet\",\"format\":1,\"started\":";
    appendJsonString(out, started);
    out += ",\"folder\":";
    appendJsonString(out, folder);
    out += "}}\n";
    return out;
}

QByteArray summary(const TraceSummary &s, Format format)
{
    QByteArray out;
    if (format == Format::Text) {
        out += "# summary: " + QByteArray::number(s.records) + " records\n";
        if (s.warnings.empty())
            out += "# no warnings\n";
        for (const auto &[kind, count] : s.warnings)
            out += "# warning " + kind.toUtf8() + ": " + QByteArray::number(count) + "\n";
        for (const auto &[kind, count] : s.notes)
            out += "# note " + kind.toUtf8() + ": " + QByteArray::number(count) + "\n";
        return out;
    }
    const auto counts = [&out](const std::map<QString, qint64> &byKind) {
        out += '{';
        bool first = true;
        for (const auto &[kind, count] : byKind) {
            if (!std::exchange(first, false))
                out += ',';
            appendJsonString(out, kind);
            out += ':' + QByteArray::number(count);
        }
        out += '}';
    };
    out += "{\"summary\":{\"records\":" + QByteArray::number(s.records) + ",\"warnings\":";
    counts(s.warnings);
    out += ",\"notes\":";
    counts(s.notes);
    out += "}}\n";
    return out;
}

} // namespace traceformat
