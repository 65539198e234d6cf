#include "ui/frm_client.h"

#include "engine/cp1252.h"
#include "engine/prompts.h"
#include "link/connection_manager.h"
#include "shell/config_file.h"
#include "shell/equipment_loader.h"

#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

TFrmClient::TFrmClient(ConnectionManager &connections, ConfigFile &config, StoredLink &stored,
                       Prompts &prompts, QWidget *parent)
    : QWidget(parent, Qt::Window), m_connections(connections), m_config(config),
      m_stored(stored), m_prompts(prompts)
{
    setWindowTitle(QStringLiteral("TCP/IP - Client"));
    setObjectName(QStringLiteral("FrmClient"));

    Label1 = new QLabel(QStringLiteral("Digite IP:"), this);
    VIp = new QLineEdit(this);
    Label2 = new QLabel(QStringLiteral("Digite a Porta:"), this);
    VPorta = new QLineEdit(this);
    BtOK = new QPushButton(QStringLiteral("OK"), this);
    BtCancelar = new QPushButton(QStringLiteral("Cancelar"), this);
    // Return in the fields must reach the filter, not a default button.
    BtOK->setAutoDefault(false);
    BtCancelar->setAutoDefault(false);

    auto *layout = new QGridLayout(this);
    layout->addWidget(Label1, 0, 0);
    layout->addWidget(VIp, 0, 1);
    layout->addWidget(Label2, 1, 0);
    layout->addWidget(VPorta, 1, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(BtOK);
    buttons->addWidget(BtCancelar);
    layout->addLayout(buttons, 2, 0, 1, 2);
    resize(280, 120);

    VIp->installEventFilter(this);
    VPorta->installEventFilter(this);
    connect(BtOK, &QPushButton::clicked, this, &TFrmClient::BtOKClick);
    connect(BtCancelar, &QPushButton::clicked, this, &TFrmClient::BtCancelarClick);
}

void TFrmClient::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        FormActivate();
}

// VIpKeyPress: shared by both fields.
bool TFrmClient::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress) {
        switch (static_cast<QKeyEvent *>(event)->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            BtOKClick();
            return true;
        case Qt::Key_Escape:
            BtCancelarClick();
            return true;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TFrmClient::FormActivate()
{
    VPorta->setText(m_stored.port);
    VIp->setText(m_stored.address);
}

void TFrmClient::BtOKClick()
{
    guarded(m_prompts, [this] {
        const QString address = VIp->text();
        const QString port = VPorta->text();
        m_connections.setClientAddress(address);
        m_connections.setClientPort(portFromText(port));
        if (address != m_stored.address) {
            if (!m_config.writeEndereco(toCp1252(address)))
                return;
            m_stored.address = address;
        }
        if (port != m_stored.port) {
            if (!m_config.writePorta(toCp1252(port)))
                return;
            m_stored.port = port;
        }
        m_connections.setStoredPortAndAddress(m_stored.port, m_stored.address);
        emit accepted(address, port);
        hide();
    });
}

void TFrmClient::BtCancelarClick()
{
    hide();
}
