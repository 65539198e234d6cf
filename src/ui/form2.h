#pragma once

#include <QWidget>

class QGroupBox;
class QPushButton;
class TForm1;
class TFrmProtocolo;
struct AppContext;

// The "Equipamento" chooser, where a run begins: the user picks the terminal
// or the Comutadora. Creating it runs the terminal's loading of "Config.ini"
// (first-start defaults written when the file is absent) and shows what was
// loaded in the main window and the settings window. Its exit button ends the
// application.
class TForm2 : public QWidget {
    Q_OBJECT
public:
    static constexpr int kOuterWidth = 274;
    static constexpr int kOuterHeight = 260;

    TForm2(AppContext &app, TForm1 &form1, TFrmProtocolo &protocolo, QWidget *parent = nullptr);

    QGroupBox *GroupBox1;
    QPushButton *BtTerminal;
    QPushButton *BtComutadora;
    QPushButton *BtSair;

    void BtTerminalClick();
    void BtComutadoraClick();
    void BtSairClick();
    void FormClose();

signals:
    void protocolWindowRequested();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void FormCreate();
    void choose(bool comutadora);

    AppContext &m_app;
    TForm1 &m_form1;
    TFrmProtocolo &m_protocolo;
};
