#include "trace/host_command_decoder.h"

#include "engine/errors.h"
#include "engine/frames.h"
#include "trace/byte_words.h"
#include "trace/trace_record.h"

#include <QStringList>

#include <cstring>

namespace {

using namespace frames;
using Warning = HostCommandDecoder::Warning;

constexpr int kColumns = 40;
// A text run is described piece by piece up to this many pieces; the rest is counted.
constexpr int kPiecesDescribed = 8;

enum Shape { kEscapeShape = 0x100, kTextShape = 0x200, kPrinterShape = 0x300, kStrayShape = 0x400,
             kFrameShape = 0x500 };

qsizetype left(const char *p, const char *end)
{
    return end - p;
}

const char *skip(const char *p, const char *end, qsizetype count)
{
    return left(p, end) < count ? end : p + count;
}

// The cursor as the display model moves it while it writes: a printable byte
// at a column past 40 first goes to column 1 of the other line; a back-space
// steps back and blanks, from column 1 to column 40 of the other line.
struct Cursor {
    int row = 1;
    int col = 1;
    int wraps = 0;

    void toggleRow() { row = row == 1 ? 2 : 1; }

    void write(const char *p, qsizetype n)
    {
        const char *const end = p + n;
        while (p < end) {
            if (*p == kBs) {
                int c = col < 1 ? 1 : (col > kColumns + 1 ? kColumns + 1 : col);
                if (--c == 0) {
                    toggleRow();
                    c = kColumns;
                }
                col = c;
                ++p;
                continue;
            }
            if (col > kColumns) {
                toggleRow();
                col = 1;
                ++wraps;
            } else if (col < 1) {
                col = 1;
            }
            const qsizetype room = kColumns - col + 1;
            const qsizetype limit = left(p, end) < room ? left(p, end) : room;
            const void *bs = std::memchr(p, kBs, static_cast<size_t>(limit));
            const qsizetype k = bs ? static_cast<const char *>(bs) - p : limit;
            col += static_cast<int>(k);
            p += k;
        }
    }
};

QString at(int row, int col)
{
    return QStringLiteral("at row %1, column %2").arg(row).arg(col);
}

QString ledWords(unsigned char m)
{
    QStringList on;
    for (int i = 0; i < 4; ++i)
        if (m & (1u << i))
            on.append(QString::number(i));
    if (on.isEmpty())
        return QStringLiteral("all LEDs off");
    if (on.size() == 1)
        return QStringLiteral("LED %1 on, the others off").arg(on.first());
    const QString last = on.takeLast();
    return QStringLiteral("LEDs %1 and %2 on").arg(on.join(QStringLiteral(", ")), last) +
           (on.size() + 1 < 4 ? QStringLiteral(", the others off") : QString());
}

QString destinationWords(char d)
{
    switch (d) {
    case 'c':
        return QStringLiteral("the LEDs");
    case 'h':
    case 'r':
        return QStringLiteral("the serial interface");
    case 'l':
        return QStringLiteral("the parallel interface");
    default:
        return QStringLiteral("nowhere (bytes dropped)");
    }
}

bool isCursorFinal(char c)
{
    return c == 'H' || c == 'f' || c == 'm';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The bytes left at the end of a delivery could be the start of a cursor form
// (r r ; c c F or r ; c c F) or of "5i"/"4i" that the delivery boundary cut.
bool looksLikeCutForm(const char *p, const char *end)
{
    const qsizetype n = left(p, end);
    if (n <= 0 || n >= 6)
        return false;
    if (n == 1 && (*p == '5' || *p == '4'))
        return true;
    for (qsizetype i = 0; i < n; ++i) {
        const bool semicolonHere = p[i] == ';';
        const bool allowed = isDigit(p[i]) || (semicolonHere && (i == 1 || i == 2));
        if (!allowed)
            return false;
    }
    return true;
}

class Decoding {
public:
    Decoding(const QByteArray &delivery, qsizetype offset, const HostCommandDecoder::Context &context,
             bool words)
        : m_base(delivery.constData()), m_start(m_base + offset), m_end(m_base + delivery.size()),
          m_context(context), m_words(words)
    {
    }

    HostCommandDecoder::Decoded run()
    {
        if (m_start >= m_end)
            return m_out;
        if (m_context.vt100) {
            if (*m_start == kEsc)
                escapeSequence();
            else if (m_context.printerControllerOn)
                printerRun();
            else
                textRun();
        } else {
            if (*m_start == kStx)
                frame();
            else
                strays();
        }
        return m_out;
    }

private:
    void finish(const char *next, int shape, const QString &notation, const QString &meaning)
    {
        m_out.length = next - m_start;
        m_out.shape = shape;
        if (m_words)
            m_out.words = notation + QStringLiteral("  ") + meaning;
    }

    void predictAt(int row, int col)
    {
        m_out.predictable = true;
        m_out.row = row;
        m_out.col = col;
    }

    void warn(Warning warning)
    {
        if (m_out.warning == Warning::None)
            m_out.warning = warning;
    }

    QString restText(const char *from) const
    {
        return QStringLiteral("the rest of the delivery (%1 bytes) is not processed").arg(left(from, m_end));
    }

    // MoveCursor's conversions: the row first, then the column.
    QString cursorWords(const QByteArray &rowText, const QByteArray &colText, bool zeroBased, const char *next)
    {
        try {
            const int row = StrToInt(rowText);
            const int col = StrToInt(colText);
            if (!m_words)
                return {};
            const qint64 shown = zeroBased ? qint64(row) + 1 : row;
            const qint64 shownCol = zeroBased ? qint64(col) + 1 : col;
            return QStringLiteral("cursor to row %1, column %2").arg(shown).arg(shownCol);
        } catch (const ConversionError &error) {
            warn(Warning::BadCursorOperands);
            if (!m_words)
                return {};
            return QStringLiteral("cursor operands are not numbers ('%1' is not a valid integer value): %2")
                .arg(QString::fromLatin1(error.offendingText()), restText(next));
        }
    }

    // ---- VT100 ----

    void escapeSequence()
    {
        const char *p = m_start + 1;
        const auto cutHere = [&](const QString &what) {
            warn(Warning::CutCommand);
            finish(m_end, kEscapeShape, bytewords::tokens(QByteArray(m_start, left(m_start, m_end))),
                   what + QStringLiteral(", cut by the end of the delivery"));
        };
        if (p == m_end)
            return cutHere(QStringLiteral("nothing done"));
        if (*p == '[' && ++p == m_end)
            return cutHere(QStringLiteral("nothing done"));

        const char selector = *p;
        QString meaning;
        bool known = true;
        switch (selector) {
        case kEsc:
            if (++p == m_end)
                return cutHere(QStringLiteral("function-key mode unchanged"));
            switch (static_cast<unsigned char>(*p++)) {
            case 0x80:
                meaning = QStringLiteral("function-key mode off");
                break;
            case 0xC0:
                meaning = QStringLiteral("function-key mode on");
                break;
            default:
                meaning = QStringLiteral("nothing (function-key mode unchanged)");
                break;
            }
            break;
        case '?':
            if (left(p, m_end) < 4)
                return cutHere(QStringLiteral("print destination unchanged"));
            if (p[3] == 'w') {
                if (left(p, m_end) < 7)
                    return cutHere(QStringLiteral("nothing"));
                p += 7;
                meaning = QStringLiteral("nothing (a \"w\" setting)");
            } else {
                if (m_words)
                    meaning = QStringLiteral("print destination '%1': %2")
                                  .arg(QString(QLatin1Char(p[3])), destinationWords(p[3]));
                p += 4;
            }
            break;
        case 'A':
            ++p;
            meaning = QStringLiteral("cursor to row 1");
            break;
        case 'C':
            ++p;
            meaning = QStringLiteral("cursor one column forward");
            break;
        case 'D':
        case 'n':
            ++p;
            if (p < m_end && *p == 'D')
                ++p;
            meaning = QStringLiteral("one step back, blanking the cell");
            break;
        case 'H':
        case 'f':
        case 'm':
            ++p;
            meaning = QStringLiteral("cursor home (row 1, column 1)");
            break;
        case 'J':
            ++p;
            meaning = QStringLiteral("clear the display");
            break;
        case 'K':
            ++p;
            meaning = QStringLiteral("erase the line");
            break;
        default:
            known = false;
            break;
        }

        const qsizetype n = left(p, m_end);
        QString form;
        if (n >= 2 && p[1] == 'i' && (p[0] == '5' || p[0] == '4')) {
            form = p[0] == '5' ? QStringLiteral("printer controller on") : QStringLiteral("printer controller off");
            p += 2;
        } else if (n >= 6 && p[2] == ';' && isCursorFinal(p[5])) {
            form = cursorWords(QByteArray(p, 2), QByteArray(p + 3, 2), false, p + 6);
            p += 6;
        } else if (n >= 5 && p[1] == ';' && isCursorFinal(p[4])) {
            form = cursorWords(QByteArray(p, 1), QByteArray(p + 2, 2), false, p + 5);
            p += 5;
        } else if (!known) {
            if (looksLikeCutForm(p, m_end)) {
                warn(Warning::CutCommand);
                form = QStringLiteral("a cursor or printer command cut by the end of the delivery: %1 is shown "
                                      "as text")
                           .arg(bytewords::quoted(QByteArray(p, n)));
            } else {
                form = QStringLiteral("no command: what follows is shown as text");
            }
        }
        if (!m_words)
            return finish(p, kEscapeShape | static_cast<unsigned char>(selector), {}, {});
        if (!meaning.isEmpty() && !form.isEmpty())
            meaning += QStringLiteral(", then ") + form;
        else if (meaning.isEmpty())
            meaning = form;
        finish(p, kEscapeShape | static_cast<unsigned char>(selector),
               bytewords::tokens(QByteArray(m_start, p - m_start)), meaning);
    }

    void printerRun()
    {
        const void *esc = std::memchr(m_start, kEsc, static_cast<size_t>(left(m_start, m_end)));
        const char *next = esc ? static_cast<const char *>(esc) : m_end;
        const qsizetype n = next - m_start;
        const char d = m_context.printDestination;
        QString meaning;
        if (m_words) {
            meaning = QStringLiteral("%1 bytes to %2 (printer controller)").arg(n).arg(destinationWords(d));
            if ((d == 'h' || d == 'r') && m_context.serialRelay)
                meaning += QStringLiteral(" and the PC COM port");
            if ((d == 'h' || d == 'r') && m_context.scaleAnswers && std::memchr(m_start, kEnq, size_t(n)))
                meaning += QStringLiteral("; the scale answers each ENQ");
        }
        finish(next, kPrinterShape | static_cast<unsigned char>(d),
               m_words ? bytewords::quoted(QByteArray(m_start, n), 60) : QString(), meaning);
    }

    void textRun()
    {
        Cursor cursor{m_context.row, m_context.col, 0};
        QStringList pieces;
        int counted = 0;
        const char *p = m_start;
        while (p < m_end && *p != kEsc) {
            const char *text = p;
            while (p < m_end && *p != kEsc && *p != kCr && *p != kLf)
                ++p;
            if (p > text) {
                const int row = cursor.row;
                const int col = cursor.col;
                const int wrapsBefore = cursor.wraps;
                cursor.write(text, p - text);
                if (m_words && counted++ < kPiecesDescribed)
                    pieces.append(QStringLiteral("text %1 %2%3")
                                      .arg(bytewords::quoted(QByteArray(text, p - text)), at(row, col),
                                           cursor.wraps > wrapsBefore ? QStringLiteral(" (wrapped)") : QString()));
            }
            if (p == m_end || *p == kEsc)
                break;
            if (*p == kCr) {
                cursor.col = 1;
                if (m_words && counted++ < kPiecesDescribed)
                    pieces.append(QStringLiteral("CR"));
            } else {
                cursor.toggleRow();
                if (m_words && counted++ < kPiecesDescribed)
                    pieces.append(QStringLiteral("LF"));
            }
            ++p;
        }
        if (cursor.wraps > 0)
            warn(Warning::WrappedText);
        predictAt(cursor.row, cursor.col);
        if (!m_words)
            return finish(p, kTextShape, {}, {});
        QString meaning = pieces.join(QStringLiteral(", "));
        if (counted > kPiecesDescribed)
            meaning += QStringLiteral(" … (%1 pieces in all)").arg(counted);
        if (cursor.wraps > 0)
            meaning += QStringLiteral("; past column 40, wrapped to the other line%1")
                           .arg(cursor.wraps > 1 ? QStringLiteral(" %1 times").arg(cursor.wraps) : QString());
        finish(p, kTextShape, bytewords::quoted(QByteArray(m_start, p - m_start), 48), meaning);
    }

    // ---- Zorvane ----

    void strays()
    {
        const void *stx = std::memchr(m_start, kStx, static_cast<size_t>(left(m_start, m_end)));
        const char *next = stx ? static_cast<const char *>(stx) : m_end;
        warn(Warning::StrayBytes);
        predictAt(m_context.row, m_context.col);
        finish(next, kStrayShape, m_words ? bytewords::tokens(QByteArray(m_start, next - m_start), 24) : QString(),
               m_words ? QStringLiteral("%1 stray bytes dropped (outside any frame)").arg(next - m_start)
                       : QString());
    }

    // STX "D" "00" "TOTAL" ETX
    QString frameNotation(const char *next, bool text) const
    {
        QString out = QStringLiteral("STX");
        const char *p = m_start + 1;
        if (p < next)
            out += QStringLiteral(" \"%1\"").arg(QLatin1Char(*p++));
        if (m_context.comutadora && p < next) {
            const qsizetype n = left(p, next) < 2 ? left(p, next) : 2;
            out += QLatin1Char(' ') + bytewords::quoted(QByteArray(p, n));
            p += n;
        }
        const bool etx = next > p && next[-1] == kEtx;
        const char *bodyEnd = etx ? next - 1 : next;
        if (bodyEnd > p) {
            if (text) {
                out += QLatin1Char(' ') + bytewords::quoted(QByteArray(p, bodyEnd - p));
            } else {
                for (const char *q = p; q < bodyEnd; ++q)
                    out += QLatin1Char(' ') + bytewords::operand(*q);
            }
        }
        if (etx)
            out += QStringLiteral(" ETX");
        return out;
    }

    // The lone ETX the interpreter drops right after this frame belongs to it.
    const char *withTrailingEtx(const char *next) const
    {
        return next < m_end && *next == kEtx ? next + 1 : next;
    }

    void frame()
    {
        const char *p = m_start + 1;
        if (p == m_end) {
            warn(Warning::CutCommand);
            return finish(m_end, kFrameShape, QStringLiteral("STX"),
                          QStringLiteral("nothing done, cut by the end of the delivery"));
        }
        const char letter = *p++;
        const bool comutadora = m_context.comutadora;
        const char *operand = comutadora ? skip(p, m_end, 2) : p;
        const int shape = kFrameShape | static_cast<unsigned char>(letter);
        const QString cut = QStringLiteral(", cut by the end of the delivery");
        QString meaning;
        const char *next = operand;
        bool text = false;

        switch (letter) {
        case 'C': {
            text = true;
            const qsizetype have = left(operand, m_end);
            const QByteArray row(operand, have < 1 ? have : 1);
            const QByteArray col = have > 1 ? QByteArray(operand + 1, have < 3 ? have - 1 : 2) : QByteArray();
            next = skip(operand, m_end, comutadora ? 4 : 3);
            if (!comutadora)
                next = withTrailingEtx(next);
            meaning = cursorWords(row, col, true, next);
            if (have < 3) {
                m_out.warning = Warning::CutCommand;
                meaning += cut;
            }
            break;
        }
        case 'D': {
            text = true;
            Cursor cursor{m_context.row, m_context.col, 0};
            const char *q = operand;
            while (q < m_end && *q != kEtx && *q != kStx) {
                const char *piece = q;
                while (q < m_end && *q != kEtx && *q != kStx && *q != kCr)
                    ++q;
                cursor.write(piece, q - piece);
                if (q < m_end && *q == kCr) {
                    cursor.write("Cr", 2);
                    ++q;
                }
            }
            next = q < m_end && *q == kEtx ? q + 1 : q;
            predictAt(cursor.row, cursor.col);
            if (q == m_end) {
                warn(Warning::CutCommand);
            } else if (cursor.wraps > 0) {
                warn(Warning::WrappedText);
            }
            if (m_words) {
                meaning = QStringLiteral("text %1 %2")
                              .arg(bytewords::quoted(QByteArray(operand, q - operand)),
                                   at(m_context.row, m_context.col));
                if (cursor.wraps > 0)
                    meaning += QStringLiteral("; past column 40, wrapped to the other line");
                if (q == m_end)
                    meaning += cut + QStringLiteral(": the rest of this frame in the next delivery is dropped as "
                                                    "stray bytes");
            }
            break;
        }
        case 'G':
            next = skip(operand, m_end, 2);
            if (operand < m_end) {
                predictAt(m_context.row, m_context.col);
                meaning = m_words ? ledWords(static_cast<unsigned char>(*operand)) : QString();
            } else {
                warn(Warning::CutCommand);
                meaning = QStringLiteral("LEDs unchanged") + cut;
            }
            break;
        case 'L':
            next = comutadora ? withTrailingEtx(operand) : skip(p, m_end, 1);
            meaning = QStringLiteral("clear the display");
            predictAt(1, 1);
            break;
        case 'O':
            next = skip(operand, m_end, 2);
            if (operand >= m_end) {
                warn(Warning::CutCommand);
                meaning = QStringLiteral("nothing") + cut;
            } else if (*operand == kDle) {
                meaning = QStringLiteral("cursor one column back, to column %1").arg(qint64(m_context.col) - 1);
            } else {
                meaning = QStringLiteral("nothing (the operand is not DLE)");
            }
            break;
        case 'P':
        case 'S': {
            next = skip(operand, m_end, 2);
            const bool printer = letter == 'P';
            const bool blocked = printer ? m_context.busy : m_context.cts;
            const QByteArray replyFrame = escapeFrame(QByteArray(1, blocked ? char(0x80) : char(0x01)) + letter,
                                                      comutadora, m_context.address);
            const QString reply = bytewords::hex(replyFrame);
            const QString what = operand < m_end ? bytewords::operand(*operand) : QString();
            if (blocked) {
                warn(Warning::BusyReply);
                meaning = printer ? QStringLiteral("printer busy (\"Busy\" ticked): reply %1").arg(reply)
                                  : QStringLiteral("serial interface blocked (\"CTS\" ticked): reply %1").arg(reply);
                if (!what.isEmpty())
                    meaning += QStringLiteral("; %1 is %2").arg(what, printer ? QStringLiteral("not printed")
                                                                               : QStringLiteral("not sent"));
            } else {
                meaning = (printer ? QStringLiteral("printer ready: reply %1") : QStringLiteral("serial ready: reply %1"))
                              .arg(reply);
                if (what.isEmpty()) {
                    warn(Warning::CutCommand);
                    meaning += QStringLiteral(", nothing to %1").arg(printer ? QStringLiteral("print")
                                                                             : QStringLiteral("send")) + cut;
                } else if (printer) {
                    meaning += QStringLiteral(", then print %1").arg(what);
                } else {
                    meaning += QStringLiteral(", then %1 to the serial interface").arg(what);
                    if (m_context.serialRelay)
                        meaning += QStringLiteral(" and the PC COM port");
                    if (*operand == kEnq && m_context.scaleAnswers)
                        meaning += QStringLiteral("; the scale answers");
                }
            }
            break;
        }
        case 'T': {
            next = comutadora ? withTrailingEtx(operand) : skip(p, m_end, 2);
            unsigned status = 0x80;
            if (m_context.busy)
                status |= 0x20;
            if (m_context.cts)
                status |= 0x08;
            if (m_words)
                meaning = QStringLiteral("status query: status frame %1")
                              .arg(bytewords::hex(
                                  escapeFrame(QByteArray(1, static_cast<char>(status)) + 'T', comutadora,
                                              m_context.address)));
            break;
        }
        default:
            next = m_end;
            warn(Warning::UnknownLetter);
            if (m_words)
                meaning = QStringLiteral("unknown command letter %1: the rest of the delivery (%2 bytes) is "
                                         "discarded")
                              .arg(bytewords::operand(letter))
                              .arg(left(m_start, m_end));
            break;
        }
        if (!m_words)
            return finish(next, shape, {}, {});
        // An unknown letter's "frame" is the whole rest; its notation stops after the letter.
        const QString notation = letter == 'C' || letter == 'D' || letter == 'G' || letter == 'L' ||
                                         letter == 'O' || letter == 'P' || letter == 'S' || letter == 'T'
                                     ? frameNotation(next, text)
                                     : QStringLiteral("STX %1 …").arg(bytewords::operand(letter));
        finish(next, shape, notation, meaning);
    }

    const char *m_base;
    const char *m_start;
    const char *m_end;
    const HostCommandDecoder::Context &m_context;
    bool m_words;
    HostCommandDecoder::Decoded m_out;
};

} // namespace

HostCommandDecoder::Decoded HostCommandDecoder::decode(const QByteArray &delivery, qsizetype offset,
                                                       const Context &context, bool words)
{
    return Decoding(delivery, offset, context, words).run();
}

QString HostCommandDecoder::warningName(Warning warning)
{
    switch (warning) {
    case Warning::None:
        return {};
    case Warning::CutCommand:
        return warnings::kCutCommand;
    case Warning::StrayBytes:
        return warnings::kStrayBytes;
    case Warning::UnknownLetter:
        return warnings::kUnknownLetter;
    case Warning::BadCursorOperands:
        return warnings::kBadCursorOperands;
    case Warning::WrappedText:
        return warnings::kWrappedText;
    case Warning::BusyReply:
        return warnings::kBusyReply;
    }
    return {};
}
