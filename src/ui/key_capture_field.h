#pragma once

#include <QLineEdit>

// The hidden one-character field that holds the keyboard focus on the main
// window. Every key pressed while it has the focus is handed on as the Qt key
// code and its modifiers; the field itself never edits its text, so what it
// holds means nothing. Tab keeps its usual meaning of moving the focus.
class KeyCaptureField : public QLineEdit
{
    Q_OBJECT
public:
    explicit KeyCaptureField(QWidget *parent = nullptr);

signals:
    void pcKeyPressed(int qtKey, Qt::KeyboardModifiers modifiers);

protected:
    void keyPressEvent(QKeyEvent *event) override;
};
