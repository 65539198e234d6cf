#include "ui/key_capture_field.h"

#include <QKeyEvent>

KeyCaptureField::KeyCaptureField(QWidget *parent) : QLineEdit(parent)
{
    setMaxLength(1);
    setContextMenuPolicy(Qt::NoContextMenu);
}

void KeyCaptureField::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab) {
        QLineEdit::keyPressEvent(event);
        return;
    }
    event->accept();
    emit pcKeyPressed(event->key(), event->modifiers());
}
