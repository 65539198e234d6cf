#pragma once

#include <QByteArray>
#include <QLineEdit>

// One line of the terminal's display: a read-only field that shows what the
// display model holds for it, in the fixed-pitch bold face, white on blue.
// It never keeps the keyboard focus; a click is announced so the window can
// hand the focus back to the key capture field.
class DisplayField : public QLineEdit
{
    Q_OBJECT
public:
    explicit DisplayField(QWidget *parent = nullptr);

    // The bytes of a display line as the field shows them. Control bytes get a
    // visible placeholder of one cell so that the forty columns stay aligned.
    static QString shownText(const QByteArray &bytes);

    void showBytes(const QByteArray &bytes);

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
};
