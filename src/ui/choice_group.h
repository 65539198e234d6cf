#pragma once

#include <QGroupBox>
#include <QStringList>

class QAbstractButton;
class QButtonGroup;

// A titled group of mutually exclusive choices addressed by item index, with
// -1 meaning "nothing chosen". Every change of the index, whether the user
// clicked or the program set it, is announced once through itemIndexChanged.
class ChoiceGroup : public QGroupBox {
    Q_OBJECT
public:
    ChoiceGroup(const QString &title, const QStringList &items, QWidget *parent = nullptr);

    int itemIndex() const;
    // Values outside the items clear the choice.
    void setItemIndex(int index);
    int count() const;
    QAbstractButton *item(int index) const;

signals:
    void itemIndexChanged(int index);

private:
    QButtonGroup *m_buttons;
    int m_index = -1;
};
