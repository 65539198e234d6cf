#pragma once

#include <QWidget>

#include <functional>

class QGroupBox;
class QPushButton;
class TForm1;
class TFrmProtocolo;
struct AppContext;
struct StoredLink;

// The "Equipamento" chooser, where a run begins: the user picks the terminal
// or the Comutadora. Creating it loads "Config.ini" (writing the first-start
// defaults when the file is absent) and sets up the main window, the settings
// window and the connection manager from it; the loaded address and port stay
// in the shared StoredLink. Its exit button ends the application.
class TForm2 : public QWidget {
    Q_OBJECT
public:
    static constexpr int kOuterWidth = 274;
    static constexpr int kOuterHeight = 260;

    TForm2(AppContext &app, StoredLink &stored, TForm1 &form1, TFrmProtocolo &protocolo,
           std::function<QString()> localAddressText, QWidget *parent = nullptr);

    QGroupBox *GroupBox1;
    QPushButton *BtTerminal;
    QPushButton *BtComutadora;
    QPushButton *BtSair;

    void BtTerminalClick();
    void BtComutadoraClick();
    void BtSairClick();
    void FormClose();

    // Whether the automatic-start check needed this machine's address list.
    bool localAddressLookedUp() const { return m_lookedUp; }

signals:
    void protocolWindowRequested();

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void FormCreate();
    void choose(bool comutadora);

    AppContext &m_app;
    StoredLink &m_stored;
    TForm1 &m_form1;
    TFrmProtocolo &m_protocolo;
    std::function<QString()> m_localAddressText;
    bool m_lookedUp = false;
};
