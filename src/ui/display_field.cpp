#include "ui/display_field.h"

#include "engine/cp1252.h"
#include "engine/display_model.h"

#include <QFontDatabase>
#include <QMouseEvent>

DisplayField::DisplayField(QWidget *parent) : QLineEdit(parent)
{
    setReadOnly(true);
    setMaxLength(DisplayModel::kColumns);
    setFocusPolicy(Qt::NoFocus);
    setFrame(false);
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setBold(true);
    setFont(font);
    // A style sheet rather than the palette: the rounded panel around the
    // fields is drawn by a style sheet, which would otherwise repaint them white.
    setStyleSheet(QStringLiteral("QLineEdit { background: #0000ff; color: #ffffff; border: none; }"));
    // The blue fills every pixel of the field, so a new line of text repaints the
    // field alone and not the rounded panel beneath it; under a flood of host
    // data that panel cost more than the text.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QString DisplayField::shownText(const QByteArray &bytes)
{
    QString text = fromCp1252(bytes.left(DisplayModel::kColumns));
    // A host may write any byte into a cell; a control character would be drawn
    // as nothing or as a box of another width, so it is shown as a middle dot.
    for (QChar &c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == 0x7F || (u >= 0x80 && u <= 0x9F))
            c = QChar(0x00B7);
    }
    return text;
}

void DisplayField::showBytes(const QByteArray &bytes)
{
    setText(shownText(bytes));
}

void DisplayField::mousePressEvent(QMouseEvent *event)
{
    QLineEdit::mousePressEvent(event);
    emit clicked();
}
