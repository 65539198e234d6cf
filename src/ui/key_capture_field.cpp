#include "ui/key_capture_field.h"

#include <QKeyEvent>

namespace {

// The terminal looks at the physical key, not at what Shift or AltGr make of it:
// Shift+1 is still the "1" key. Qt reports the produced symbol ("!"), so a key
// that a modifier turned into a symbol is taken back to its physical key through
// the keycode that X and Wayland share (evdev code + 8) for the digit row and the
// comma and period keys.
int physicalKey(const QKeyEvent &event)
{
    if (!(event.modifiers() & (Qt::ShiftModifier | Qt::GroupSwitchModifier)) &&
        event.key() != Qt::Key_AltGr)
        return event.key();
    const quint32 code = event.nativeScanCode();
    if (code >= 10 && code <= 18)
        return Qt::Key_1 + static_cast<int>(code - 10);
    switch (code) {
    case 19: return Qt::Key_0;
    case 59: return Qt::Key_Comma;
    case 60: return Qt::Key_Period;
    default: return event.key();
    }
}

} // namespace

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
    emit pcKeyPressed(physicalKey(*event), event->modifiers());
}
