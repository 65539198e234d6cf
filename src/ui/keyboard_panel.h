#pragma once

#include "inputs/keyboard.h"

#include <QFrame>
#include <array>

class QPushButton;

// The terminal's 42 on-screen keys on a black panel, in the device's four rows:
// Enter is two rows high and Space two keys wide. The buttons carry the keys'
// component names and captions; a click is announced as the key it stands for.
// The keys never take the keyboard focus, so a click leaves the PC keyboard
// with the capture field.
class KeyboardPanel : public QFrame
{
    Q_OBJECT
public:
    static constexpr int kKeySize = 37;
    static constexpr int kPitch = 38;
    static constexpr int kMargin = 4;

    explicit KeyboardPanel(QWidget *parent = nullptr);

    QPushButton *button(Keyboard::Key key) const { return m_buttons.at(static_cast<std::size_t>(key)); }
    static QSize panelSize();

signals:
    void keyClicked(Keyboard::Key key);

private:
    void place(Keyboard::Key key, int column, int row, int columns = 1, int rows = 1);

    std::array<QPushButton *, Keyboard::kKeyCount> m_buttons{};
};
