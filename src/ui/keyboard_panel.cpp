#include "ui/keyboard_panel.h"

#include <QPalette>
#include <QPushButton>

namespace
{

using Key = Keyboard::Key;

// The four rows as the device has them; Enter spans rows 3 and 4 in the last
// column and Space covers two columns of row 4.
struct Placement {
    Key key;
    int column;
    int row;
    int columns;
    int rows;
};

constexpr Placement kLayout[] = {
    {Key::K1, 0, 0, 1, 1},    {Key::K2, 1, 0, 1, 1},      {Key::K3, 2, 0, 1, 1},     {Key::K4, 3, 0, 1, 1},
    {Key::K5, 4, 0, 1, 1},    {Key::K6, 5, 0, 1, 1},      {Key::K7, 6, 0, 1, 1},     {Key::K8, 7, 0, 1, 1},
    {Key::K9, 8, 0, 1, 1},    {Key::K0, 9, 0, 1, 1},      {Key::Back, 10, 0, 1, 1},

    {Key::Q, 0, 1, 1, 1},     {Key::W, 1, 1, 1, 1},       {Key::E, 2, 1, 1, 1},      {Key::R, 3, 1, 1, 1},
    {Key::T, 4, 1, 1, 1},     {Key::Y, 5, 1, 1, 1},       {Key::U, 6, 1, 1, 1},      {Key::I, 7, 1, 1, 1},
    {Key::O, 8, 1, 1, 1},     {Key::P, 9, 1, 1, 1},       {Key::Del, 10, 1, 1, 1},

    {Key::A, 0, 2, 1, 1},     {Key::S, 1, 2, 1, 1},       {Key::D, 2, 2, 1, 1},      {Key::F, 3, 2, 1, 1},
    {Key::G, 4, 2, 1, 1},     {Key::H, 5, 2, 1, 1},       {Key::J, 6, 2, 1, 1},      {Key::K, 7, 2, 1, 1},
    {Key::L, 8, 2, 1, 1},     {Key::Virgula, 9, 2, 1, 1}, {Key::Enter, 10, 2, 1, 2},

    {Key::Z, 0, 3, 1, 1},     {Key::X, 1, 3, 1, 1},       {Key::C, 2, 3, 1, 1},      {Key::V, 3, 3, 1, 1},
    {Key::B, 4, 3, 1, 1},     {Key::N, 5, 3, 1, 1},       {Key::M, 6, 3, 1, 1},      {Key::Space, 7, 3, 2, 1},
    {Key::Ponto, 9, 3, 1, 1},
};

} // namespace

KeyboardPanel::KeyboardPanel(QWidget *parent) : QFrame(parent)
{
    setObjectName(QStringLiteral("pnTeclado"));
    setAutoFillBackground(true);
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    setPalette(black);
    setFixedSize(panelSize());
    for (const Placement &p : kLayout)
        place(p.key, p.column, p.row, p.columns, p.rows);
}

QSize KeyboardPanel::panelSize()
{
    return {2 * kMargin + 10 * kPitch + kKeySize, 2 * kMargin + 3 * kPitch + kKeySize};
}

void KeyboardPanel::place(Keyboard::Key key, int column, int row, int columns, int rows)
{
    QString caption = Keyboard::caption(key);
    if (key == Key::Back && caption.isEmpty())
        caption = QString(QChar(0x2190)); // the back-space arrow of the device's key
    auto *button = new QPushButton(caption, this);
    button->setObjectName(Keyboard::componentName(key));
    button->setFocusPolicy(Qt::NoFocus);
    button->setGeometry(kMargin + column * kPitch, kMargin + row * kPitch, kKeySize + (columns - 1) * kPitch,
                        kKeySize + (rows - 1) * kPitch);
    if (key == Key::Back) {
        QFont bigger = button->font();
        bigger.setPointSizeF(bigger.pointSizeF() * 1.5);
        bigger.setBold(true);
        button->setFont(bigger);
    }
    connect(button, &QPushButton::clicked, this, [this, key] { emit keyClicked(key); });
    m_buttons.at(static_cast<std::size_t>(key)) = button;
}
