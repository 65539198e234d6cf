#include "ui/led_shape.h"

#include <QPainter>

LedShape::LedShape(const QColor &colour, QWidget *parent) : QWidget(parent), m_colour(colour)
{
}

void LedShape::setColour(const QColor &colour)
{
    if (colour == m_colour)
        return;
    m_colour = colour;
    update();
}

void LedShape::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_colour);
    const int side = qMin(width(), height());
    painter.drawEllipse(QRect((width() - side) / 2, (height() - side) / 2, side, side));
}
