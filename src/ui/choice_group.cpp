#include "ui/choice_group.h"

#include <QButtonGroup>
#include <QRadioButton>
#include <QVBoxLayout>

ChoiceGroup::ChoiceGroup(const QString &title, const QStringList &items, QWidget *parent)
    : QGroupBox(title, parent), m_buttons(new QButtonGroup(this))
{
    auto *layout = new QVBoxLayout(this);
    for (int i = 0; i < items.size(); ++i) {
        auto *button = new QRadioButton(items.at(i), this);
        m_buttons->addButton(button, i);
        layout->addWidget(button);
    }
    connect(m_buttons, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
        if (checked && id != m_index) {
            m_index = id;
            emit itemIndexChanged(id);
        }
    });
}

int ChoiceGroup::itemIndex() const
{
    return m_index;
}

int ChoiceGroup::count() const
{
    return static_cast<int>(m_buttons->buttons().size());
}

QAbstractButton *ChoiceGroup::item(int index) const
{
    return m_buttons->button(index);
}

void ChoiceGroup::setItemIndex(int index)
{
    if (index < 0 || index >= count())
        index = -1;
    if (index == m_index)
        return;
    if (index >= 0) {
        m_buttons->button(index)->setChecked(true);
        return;
    }
    // An exclusive group refuses to uncheck its last checked button.
    m_buttons->setExclusive(false);
    m_buttons->button(m_index)->setChecked(false);
    m_buttons->setExclusive(true);
    m_index = -1;
    emit itemIndexChanged(-1);
}
