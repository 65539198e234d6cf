#pragma once

#include <QColor>
#include <QWidget>

// A relay output lamp: a filled circle without outline whose colour the
// window sets from the outputs' state.
class LedShape : public QWidget
{
    Q_OBJECT
public:
    explicit LedShape(const QColor &colour, QWidget *parent = nullptr);

    QColor colour() const { return m_colour; }
    void setColour(const QColor &colour);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_colour;
};
