#pragma once

#include <QLabel>

// A caption that acts as a hyperlink: drawn like one, shows the hand cursor
// while the mouse is over it and announces a left click.
class LinkLabel : public QLabel
{
    Q_OBJECT
public:
    explicit LinkLabel(const QString &text, QWidget *parent = nullptr);

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
};
