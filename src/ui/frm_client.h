#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
class ConnectionManager;
class ConfigFile;
class Prompts;
struct StoredLink;

// The "TCP/IP - Client" dialog: the host's address and port for the Client
// role. OK hands both to the connection manager, stores in "Config.ini" only
// what differs from the stored copies and announces the new texts through
// accepted(); Return acts as OK and Escape as Cancelar in both fields.
class TFrmClient : public QWidget {
    Q_OBJECT
public:
    TFrmClient(ConnectionManager &connections, ConfigFile &config, StoredLink &stored,
               Prompts &prompts, QWidget *parent = nullptr);

    QLabel *Label1;
    QLineEdit *VIp;
    QLabel *Label2;
    QLineEdit *VPorta;
    QPushButton *BtOK;
    QPushButton *BtCancelar;

    void FormActivate();
    void BtOKClick();
    void BtCancelarClick();

signals:
    void accepted(const QString &address, const QString &port);

protected:
    void changeEvent(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    ConnectionManager &m_connections;
    ConfigFile &m_config;
    StoredLink &m_stored;
    Prompts &m_prompts;
};
