#include "ui/frm_serial.h"

#include "engine/cp1252.h"
#include "engine/prompts.h"
#include "shell/config_file.h"
#include "ui/choice_group.h"

#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {
QComboBox *listBox(const QStringList &items, QWidget *parent)
{
    // Editable so that a stored value outside the list (a bit rate of 19200)
    // can still be shown; what the user types is thrown away by the filter.
    auto *box = new QComboBox(parent);
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->addItems(items);
    return box;
}

void showIndex(QComboBox *box, int index)
{
    box->setCurrentIndex(index >= 0 && index < box->count() ? index : 0);
}
} // namespace

TfrmSerial::TfrmSerial(const QString &configPath, Prompts &prompts, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                          | Qt::WindowCloseButtonHint),
      m_configPath(configPath), m_prompts(prompts)
{
    setWindowTitle(QStringLiteral("Interface Serial do PC"));
    setObjectName(QStringLiteral("frmSerial"));
    setModal(true);

    edPortaCom = new QLineEdit(QStringLiteral("5"), this);
    edPortaCom->setMaxLength(kPortaComTyped);
    cbBaud = listBox({QStringLiteral("9600"), QStringLiteral("4800"), QStringLiteral("2400"),
                      QStringLiteral("1200")},
                     this);
    rgParidade = new ChoiceGroup(QStringLiteral("Paridade"),
                                 {QStringLiteral("Nenhum"), QStringLiteral("Par"),
                                  QStringLiteral("Ímpar")},
                                 this);
    rgParidade->setItemIndex(0);
    cbNBits = listBox({QStringLiteral("8"), QStringLiteral("7")}, this);
    cbStopBit = listBox({QStringLiteral("1"), QStringLiteral("2")}, this);
    btOk = new QPushButton(QStringLiteral("OK"), this);
    btCancelar = new QPushButton(QStringLiteral("Cancelar"), this);

    // cbNBitsKeyPress serves the three boxes.
    for (QComboBox *box : {cbBaud, cbNBits, cbStopBit})
        box->lineEdit()->installEventFilter(this);

    auto *fields = new QGridLayout;
    fields->addWidget(new QLabel(QStringLiteral("Porta COM"), this), 0, 0);
    fields->addWidget(edPortaCom, 1, 0);
    fields->addWidget(new QLabel(QStringLiteral("Baud Rate"), this), 0, 1);
    fields->addWidget(cbBaud, 1, 1);
    fields->addWidget(new QLabel(QStringLiteral("Nº Bits"), this), 2, 0);
    fields->addWidget(cbNBits, 3, 0);
    fields->addWidget(new QLabel(QStringLiteral("Stop Bit"), this), 2, 1);
    fields->addWidget(cbStopBit, 3, 1);
    auto *middle = new QHBoxLayout;
    middle->addLayout(fields, 3);
    middle->addWidget(rgParidade, 2);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btOk);
    buttons->addWidget(btCancelar);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(middle);
    layout->addStretch();
    layout->addLayout(buttons);
    setFixedSize(kClientWidth, kClientHeight);

    connect(btOk, &QPushButton::clicked, this, &TfrmSerial::btOkClick);
    connect(btCancelar, &QPushButton::clicked, this, &TfrmSerial::btCancelarClick);
}

void TfrmSerial::changeEvent(QEvent *event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        FormActivate();
}

bool TfrmSerial::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        // Characters (Backspace and Delete among them) are dropped; the arrow
        // keys have no text and still walk the list.
        if (!key->text().isEmpty() && key->key() != Qt::Key_Escape
            && key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter
            && key->key() != Qt::Key_Tab)
            return true;
    }
    return QDialog::eventFilter(watched, event);
}

void TfrmSerial::FormActivate()
{
    btOk->setFocus();
    const IniStore store(m_configPath);
    if (!store.exists())
        return;
    const SerialSettings stored = readSerialSettings(store);
    // The two-character limit is for typing: a longer stored number is shown
    // whole, or OK would store the cut-down text and so name another port.
    const QString porta = fromCp1252(stored.porta);
    edPortaCom->setMaxLength(std::max(kPortaComTyped, int(porta.size())));
    edPortaCom->setText(porta);
    const QString baud = fromCp1252(stored.baudRateText);
    const int listed = cbBaud->findText(baud);
    if (listed >= 0)
        cbBaud->setCurrentIndex(listed);
    else
        cbBaud->setEditText(baud);
    rgParidade->setItemIndex(stored.paridade >= 0 && stored.paridade <= 2 ? stored.paridade : 0);
    showIndex(cbNBits, stored.nBits);
    showIndex(cbStopBit, stored.stopBit);
}

void TfrmSerial::btOkClick()
{
    // A failed write goes to the general error report and the dialog stays open.
    guarded(m_prompts, [this] {
        IniStore store(m_configPath);
        if (store.exists()) {
            SerialSettings chosen;
            chosen.porta = toCp1252(edPortaCom->text());
            chosen.baudRateText = toCp1252(cbBaud->currentText());
            chosen.paridade = rgParidade->itemIndex();
            chosen.nBits = cbNBits->currentIndex();
            chosen.stopBit = cbStopBit->currentIndex();
            writeSerialSettings(store, chosen);
        }
        accept();
    });
}

void TfrmSerial::btCancelarClick()
{
    reject();
}
