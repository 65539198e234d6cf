#pragma once

#include <QWidget>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class ChoiceGroup;
class ConnectionManager;
class ConfigFile;
class Prompts;
struct StoredLink;
struct TerminalState;

// The "TCP/IP" settings window: the user picks the role (the emulator waits
// for the host or calls it) and the protocol; each choice goes to the terminal
// state and "Config.ini" at once, and OK opens the connection and hands over to
// the main window. The window mirrors the state in its status labels and asks
// the application, through signals, for the client dialog, the main window or
// the chooser.
class TFrmProtocolo : public QWidget {
    Q_OBJECT
public:
    TFrmProtocolo(TerminalState &state, ConnectionManager &connections, ConfigFile &config,
                  StoredLink &stored, Prompts &prompts, QWidget *parent = nullptr);

    QGroupBox *GroupBox1;
    QPushButton *BtServer;
    QPushButton *BtClient;
    QLabel *lbTerminal;
    QLineEdit *edTerminal;
    ChoiceGroup *rgProtocolo;
    QPushButton *BtOK;
    QPushButton *BtCancelar;
    QGroupBox *GroupBox2;
    QLabel *lbConexao;
    QLabel *lbPorta;
    QLabel *lbIP;

    void FormActivate();
    void rgProtocoloClick(int index);
    void BtServerClick();
    void BtClientClick();
    // Returns true when the connection was opened and the main window asked for.
    bool BtOKClick();
    void BtCancelarClick();

    // What the client dialog shows after its OK: bare texts, no prefixes.
    void setClientLabels(const QString &address, const QString &port);
    int savedProtocolKind() const { return m_savedProtocolKind; }

signals:
    void clientDialogRequested();
    void mainWindowRequested();
    void chooserRequested();

protected:
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    TerminalState &m_state;
    ConnectionManager &m_connections;
    ConfigFile &m_config;
    StoredLink &m_stored;
    Prompts &m_prompts;
    int m_savedProtocolKind = -1;
};
