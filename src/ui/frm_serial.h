#pragma once

#include <QDialog>

class QComboBox;
class QLineEdit;
class QPushButton;
class ChoiceGroup;
class Prompts;

// "Interface Serial do PC": the line settings of the PC COM port, shown
// modally. Every activation reloads the fields from section "Serial" of
// "Config.ini"; OK stores them, key by key, only when the file exists. The
// port itself is not touched: it takes the settings at its next opening.
class TfrmSerial : public QDialog {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 301;
    static constexpr int kClientHeight = 246;
    // Characters the user may type into edPortaCom.
    static constexpr int kPortaComTyped = 2;

    // configPath is fixed for the whole run.
    TfrmSerial(const QString &configPath, Prompts &prompts, QWidget *parent = nullptr);

    QLineEdit *edPortaCom;
    QComboBox *cbBaud;
    ChoiceGroup *rgParidade;
    QComboBox *cbNBits;
    QComboBox *cbStopBit;
    QPushButton *btOk;
    QPushButton *btCancelar;

    void FormActivate();
    void btOkClick();
    void btCancelarClick();

protected:
    void changeEvent(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QString m_configPath;
    Prompts &m_prompts;
};
