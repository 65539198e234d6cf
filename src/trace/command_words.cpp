#include "trace/command_words.h"

#include "engine/display_model.h"
#include "engine/errors.h"
#include "engine/host_interpreter.h"
#include "engine/host_parser.h"
#include "inputs/digital_inputs.h"
#include "trace/byte_words.h"
#include "trace/trace_record.h"

#include <QStringList>

#include <cstring>

namespace commandwords {

namespace {

using namespace frames;
using Kind = HostCommand::Kind;
using Loss = HostCommand::Loss;
using Action = HostCommand::Action;
using Form = HostCommand::Form;

// A text run is described piece by piece up to this many pieces; the rest is counted.
constexpr int kPiecesDescribed = 8;

enum Shape { kEscapeShape = 0x100, kTextShape = 0x200, kPrinterShape = 0x300, kStrayShape = 0x400,
             kFrameShape = 0x500 };

QString at(int row, int col)
{
    return QLatin1String("at row ") + QString::number(row) + QLatin1String(", column ") + QString::number(col);
}

// The cursor through the interpreter's own steps of writing a text
// (HostInterpreter::writeText), moved by the display model's rules; with
// `pieces`, each piece is named with where it began.
struct CursorFollower {
    int row;
    int col;
    QStringList *pieces = nullptr;
    int wraps = 0;
    int counted = 0;

    // Named only while they are described, counted always.
    bool describes() { return pieces && counted++ < kPiecesDescribed; }
    void writeDeferred(const char *p, qsizetype n)
    {
        if (n <= 0)
            return;
        const int startRow = row;
        const int startCol = col;
        const int wrapped = DisplayModel::followWrite(row, col, p, n);
        wraps += wrapped;
        if (describes())
            pieces->append(QStringLiteral("text %1 %2%3")
                               .arg(bytewords::quoted(QByteArray(p, n)), at(startRow, startCol),
                                    wrapped > 0 ? QStringLiteral(" (wrapped)") : QString()));
    }
    void setCursorCol(int c)
    {
        col = c;
        if (describes())
            pieces->append(QStringLiteral("CR"));
    }
    void LineFeed()
    {
        row = row == 1 ? 2 : 1;
        if (describes())
            pieces->append(QStringLiteral("LF"));
    }
};

// How often the command's text goes past column 40 from where the cursor stands.
int wrapsOf(const char *data, const HostCommand &c, const CommandScene &scene)
{
    CursorFollower cursor{scene.row, scene.col};
    if (c.kind == Kind::Text)
        HostInterpreter::writeText(cursor, data + c.begin, data + c.end);
    else if (c.kind == Kind::Frame && c.letter == 'D')
        HostInterpreter::writeFrameText(cursor, data + c.text.at, data + c.text.at + c.text.size);
    return cursor.wraps;
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

const QString &cutWords()
{
    static const QString words = QStringLiteral(", cut by the end of the delivery");
    return words;
}

class Naming {
public:
    Naming(const QByteArray &delivery, const HostCommand &command, const CommandScene &scene)
        : m_data(delivery.constData()), m_size(delivery.size()), c(command), m_scene(scene)
    {
    }

    QString words() const
    {
        switch (c.kind) {
        case Kind::Text:
            return text();
        case Kind::Printed:
            return printed();
        case Kind::Escape:
            return escapeSequence();
        case Kind::Strays:
            return join(bytewords::tokens(bytes(c.begin, c.end), 24),
                        QStringLiteral("%1 stray bytes dropped (outside any frame)").arg(c.size()));
        case Kind::Frame:
            return frame();
        }
        return {};
    }

private:
    QByteArray bytes(qsizetype from, qsizetype to) const { return QByteArray(m_data + from, to - from); }
    QByteArray bytes(HostCommand::Span span) const { return QByteArray(m_data + span.at, span.size); }

    static QString join(const QString &notation, const QString &meaning)
    {
        return notation + QStringLiteral("  ") + meaning;
    }

    QString restText(qsizetype from) const
    {
        return QStringLiteral("the rest of the delivery (%1 bytes) is not processed").arg(m_size - from);
    }

    // MoveCursor's conversions: the row first, then the column.
    QString cursorWords(bool zeroBased) const
    {
        if (!c.numbers) {
            const QByteArray rowText = bytes(c.row);
            const bool rowFails = !tryStrToInt(rowText.constData(), rowText.size());
            return QStringLiteral("cursor operands are not numbers ('%1' is not a valid integer value): %2")
                .arg(QString::fromLatin1(rowFails ? rowText : bytes(c.col)), restText(c.end));
        }
        const qint64 shownRow = zeroBased ? qint64(c.rowNumber) + 1 : c.rowNumber;
        const qint64 shownCol = zeroBased ? qint64(c.colNumber) + 1 : c.colNumber;
        return QStringLiteral("cursor to row %1, column %2").arg(shownRow).arg(shownCol);
    }

    // ---- VT100 ----

    QString text() const
    {
        QStringList pieces;
        CursorFollower cursor{m_scene.row, m_scene.col, &pieces};
        HostInterpreter::writeText(cursor, m_data + c.begin, m_data + c.end);
        QString meaning = pieces.join(QStringLiteral(", "));
        if (cursor.counted > kPiecesDescribed)
            meaning += QStringLiteral(" … (%1 pieces in all)").arg(cursor.counted);
        if (cursor.wraps > 0)
            meaning += QStringLiteral("; past column 40, wrapped to the other line%1")
                           .arg(cursor.wraps > 1 ? QStringLiteral(" %1 times").arg(cursor.wraps) : QString());
        return join(bytewords::quoted(bytes(c.begin, c.end), 48), meaning);
    }

    QString printed() const
    {
        const char d = m_scene.printDestination;
        QString meaning = QStringLiteral("%1 bytes to %2 (printer controller)").arg(c.size()).arg(destinationWords(d));
        if ((d == 'h' || d == 'r') && m_scene.serialRelay)
            meaning += QStringLiteral(" and the PC COM port");
        if ((d == 'h' || d == 'r') && m_scene.scaleAnswers &&
            std::memchr(m_data + c.begin, kEnq, static_cast<size_t>(c.size())))
            meaning += QStringLiteral("; the scale answers each ENQ");
        return join(bytewords::quoted(bytes(c.begin, c.end), 60), meaning);
    }

    QString actionWords() const
    {
        switch (c.action) {
        case Action::None:
            return {};
        case Action::FunctionKeysOff:
            return QStringLiteral("function-key mode off");
        case Action::FunctionKeysOn:
            return QStringLiteral("function-key mode on");
        case Action::FunctionKeysKept:
            return QStringLiteral("nothing (function-key mode unchanged)");
        case Action::PrintDestination:
            return QStringLiteral("print destination '%1': %2")
                .arg(QString(QLatin1Char(m_data[c.operand])), destinationWords(m_data[c.operand]));
        case Action::WSetting:
            return QStringLiteral("nothing (a \"w\" setting)");
        case Action::CursorRow1:
            return QStringLiteral("cursor to row 1");
        case Action::CursorForward:
            return QStringLiteral("cursor one column forward");
        case Action::StepBack:
            return QStringLiteral("one step back, blanking the cell");
        case Action::CursorHome:
            return QStringLiteral("cursor home (row 1, column 1)");
        case Action::ClearDisplay:
            return QStringLiteral("clear the display");
        case Action::EraseLine:
            return QStringLiteral("erase the line");
        }
        return {};
    }

    QString escapeSequence() const
    {
        const QString notation = bytewords::tokens(bytes(c.begin, c.end));
        // Cut before its selector's bytes were all there: nothing was done.
        if (c.loss == Loss::Cut && (c.letter == 0 || c.action != Action::None)) {
            QString what = QStringLiteral("nothing done");
            if (c.action == Action::FunctionKeysKept)
                what = QStringLiteral("function-key mode unchanged");
            else if (c.action == Action::PrintDestination)
                what = QStringLiteral("print destination unchanged");
            else if (c.action == Action::WSetting)
                what = QStringLiteral("nothing");
            return join(notation, what + cutWords());
        }
        QString form;
        switch (c.form) {
        case Form::PrinterOn:
            form = QStringLiteral("printer controller on");
            break;
        case Form::PrinterOff:
            form = QStringLiteral("printer controller off");
            break;
        case Form::Cursor:
            form = cursorWords(false);
            break;
        case Form::None:
            if (c.action != Action::None)
                break;
            // The selector byte is not one: it and what follows are shown as text.
            if (c.loss == Loss::Cut)
                form = QStringLiteral("a cursor or printer command cut by the end of the delivery: %1 is shown "
                                      "as text")
                           .arg(bytewords::quoted(bytes(c.end, m_size)));
            else
                form = QStringLiteral("no command: what follows is shown as text");
            break;
        }
        QString meaning = actionWords();
        if (!meaning.isEmpty() && !form.isEmpty())
            meaning += QStringLiteral(", then ") + form;
        else if (meaning.isEmpty())
            meaning = form;
        return join(notation, meaning);
    }

    // ---- Zorvane ----

    // STX "D" "00" "TOTAL" ETX; `quotedBody` when the caller has the body in quotes already.
    QString frameNotation(bool text, const QString &quotedBody = {}) const
    {
        QString out = QStringLiteral("STX \"%1\"").arg(QLatin1Char(c.letter));
        if (c.address.size > 0)
            out += QLatin1Char(' ') + bytewords::quoted(bytes(c.address));
        const qsizetype body = c.address.size > 0 ? c.address.at + c.address.size : c.begin + 2;
        const qsizetype bodyEnd = c.closed ? c.end - 1 : c.end;
        if (bodyEnd > body) {
            if (text) {
                out += QLatin1Char(' ') + (quotedBody.isEmpty() ? bytewords::quoted(bytes(body, bodyEnd)) : quotedBody);
            } else {
                for (qsizetype i = body; i < bodyEnd; ++i)
                    out += QLatin1Char(' ') + bytewords::operand(m_data[i]);
            }
        }
        if (c.closed)
            out += QStringLiteral(" ETX");
        return out;
    }

    QString frame() const
    {
        if (c.size() == 1)
            return join(QStringLiteral("STX"), QStringLiteral("nothing done") + cutWords());
        const bool cut = c.loss == Loss::Cut;
        const bool hasOperand = c.operand >= 0;
        const char operand = hasOperand ? m_data[c.operand] : 0;
        QString meaning;
        switch (c.letter) {
        case 'C':
            meaning = cursorWords(true);
            if (cut)
                meaning += cutWords();
            return join(frameNotation(true), meaning);
        case 'D': {
            // The body of a "D" frame is its text.
            const QString text = bytewords::quoted(bytes(c.text));
            meaning = QLatin1String("text ") + text + QLatin1Char(' ') + at(m_scene.row, m_scene.col);
            if (wrapsOf(m_data, c, m_scene) > 0)
                meaning += QStringLiteral("; past column 40, wrapped to the other line");
            if (cut)
                meaning += cutWords() +
                           QStringLiteral(": the rest of this frame in the next delivery is dropped as stray bytes");
            return join(frameNotation(true, text), meaning);
        }
        case 'G':
            meaning = hasOperand ? ledWords(static_cast<unsigned char>(operand))
                                 : QStringLiteral("LEDs unchanged") + cutWords();
            break;
        case 'L':
            meaning = QStringLiteral("clear the display");
            break;
        case 'O':
            if (!hasOperand)
                meaning = QStringLiteral("nothing") + cutWords();
            else if (operand == kDle)
                meaning = QStringLiteral("cursor one column back, to column %1").arg(qint64(m_scene.col) - 1);
            else
                meaning = QStringLiteral("nothing (the operand is not DLE)");
            break;
        case 'P':
        case 'S':
            meaning = replyWords(c.letter == 'P', hasOperand ? bytewords::operand(operand) : QString(), operand);
            break;
        case 'T':
            meaning = QStringLiteral("status query: status frame %1")
                          .arg(bytewords::hex(DigitalInputs::statusFrame(m_scene.busy, m_scene.cts,
                                                                         m_scene.comutadora, m_scene.address)));
            break;
        default:
            // An unknown letter's "frame" is the whole rest; its notation stops after the letter.
            return join(QStringLiteral("STX %1 …").arg(bytewords::operand(c.letter)),
                        QStringLiteral("unknown command letter %1: the rest of the delivery (%2 bytes) is discarded")
                            .arg(bytewords::operand(c.letter))
                            .arg(c.size()));
        }
        return join(frameNotation(false), meaning);
    }

    QString replyWords(bool printer, const QString &what, char operand) const
    {
        const bool blocked = printer ? m_scene.busy : m_scene.cts;
        const QString reply = bytewords::hex(
            HostInterpreter::replyFrame(c.letter, blocked, m_scene.comutadora, m_scene.address));
        if (blocked) {
            QString meaning = printer ? QStringLiteral("printer busy (\"Busy\" ticked): reply %1").arg(reply)
                                      : QStringLiteral("serial interface blocked (\"CTS\" ticked): reply %1").arg(reply);
            if (!what.isEmpty())
                meaning += QStringLiteral("; %1 is %2").arg(what, printer ? QStringLiteral("not printed")
                                                                           : QStringLiteral("not sent"));
            return meaning;
        }
        QString meaning =
            (printer ? QStringLiteral("printer ready: reply %1") : QStringLiteral("serial ready: reply %1")).arg(reply);
        if (what.isEmpty())
            return meaning + QStringLiteral(", nothing to %1").arg(printer ? QStringLiteral("print")
                                                                           : QStringLiteral("send")) +
                   cutWords();
        if (printer)
            return meaning + QStringLiteral(", then print %1").arg(what);
        meaning += QStringLiteral(", then %1 to the serial interface").arg(what);
        if (m_scene.serialRelay)
            meaning += QStringLiteral(" and the PC COM port");
        if (operand == kEnq && m_scene.scaleAnswers)
            meaning += QStringLiteral("; the scale answers");
        return meaning;
    }

    const char *m_data;
    qsizetype m_size;
    const HostCommand &c;
    const CommandScene &m_scene;
};

} // namespace

Warning warning(const QByteArray &delivery, const HostCommand &command, const CommandScene &scene)
{
    // A reply "busy" is what the host hears first, so it is what the record warns of.
    if (command.kind == Kind::Frame && (command.letter == 'P' || command.letter == 'S') &&
        (command.letter == 'P' ? scene.busy : scene.cts))
        return Warning::BusyReply;
    switch (command.loss) {
    case Loss::Cut:
        return Warning::CutCommand;
    case Loss::Strays:
        return Warning::StrayBytes;
    case Loss::UnknownLetter:
        return Warning::UnknownLetter;
    case Loss::BadCursorOperands:
        return Warning::BadCursorOperands;
    case Loss::None:
        break;
    }
    return wrapsOf(delivery.constData(), command, scene) > 0 ? Warning::WrappedText : Warning::None;
}

int shape(const HostCommand &command, const CommandScene &scene)
{
    switch (command.kind) {
    case Kind::Text:
        return kTextShape;
    case Kind::Printed:
        return kPrinterShape | static_cast<unsigned char>(scene.printDestination);
    case Kind::Escape:
        return kEscapeShape | static_cast<unsigned char>(command.letter);
    case Kind::Strays:
        return kStrayShape;
    case Kind::Frame:
        return kFrameShape | static_cast<unsigned char>(command.letter);
    }
    return 0;
}

QString words(const QByteArray &delivery, const HostCommand &command, const CommandScene &scene)
{
    return Naming(delivery, command, scene).words();
}

QString warningName(Warning warning)
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

} // namespace commandwords
