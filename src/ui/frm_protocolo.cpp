#include "ui/frm_protocolo.h"

#include "engine/cp1252.h"
#include "engine/prompts.h"
#include "engine/terminal_state.h"
#include "link/connection_manager.h"
#include "shell/config_file.h"
#include "shell/equipment_loader.h"
#include "terminal/terminal.h"
#include "ui/choice_group.h"

#include <QCloseEvent>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TFrmProtocolo::TFrmProtocolo(TerminalState &state, ConnectionManager &connections,
                             ConfigFile &config, StoredLink &stored, Prompts &prompts,
                             QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      m_state(state), m_connections(connections), m_config(config), m_stored(stored),
      m_prompts(prompts)
{
    setWindowTitle(QStringLiteral("TCP/IP"));
    setObjectName(QStringLiteral("FrmProtocolo"));

    GroupBox1 = new QGroupBox(QStringLiteral(" Programa Trabalha como:"), this);
    BtServer = new QPushButton(QStringLiteral("Server"), GroupBox1);
    BtServer->setToolTip(QStringLiteral("Terminal aguarda conexão"));
    BtClient = new QPushButton(QStringLiteral("Client"), GroupBox1);
    BtClient->setToolTip(QStringLiteral("Terminal pede a conexão"));
    lbTerminal = new QLabel(QStringLiteral("Terminal"), GroupBox1);
    edTerminal = new QLineEdit(QStringLiteral("vt100"), GroupBox1);
    auto *roles = new QGridLayout(GroupBox1);
    roles->addWidget(BtServer, 0, 0);
    roles->addWidget(BtClient, 0, 1);
    roles->addWidget(lbTerminal, 1, 0);
    roles->addWidget(edTerminal, 1, 1);
    lbTerminal->hide();
    edTerminal->hide();

    rgProtocolo = new ChoiceGroup(QStringLiteral("Protocolo:"),
                                  {QStringLiteral("VT100"), QStringLiteral("Zorvane"),
                                   QStringLiteral("Telnet - [VT100]")},
                                  this);

    GroupBox2 = new QGroupBox(QStringLiteral("Status Configuração"), this);
    lbConexao = new QLabel(QStringLiteral("Conexão:"), GroupBox2);
    lbPorta = new QLabel(QStringLiteral("Porta:"), GroupBox2);
    lbIP = new QLabel(QStringLiteral("IP:"), GroupBox2);
    auto *status = new QVBoxLayout(GroupBox2);
    status->addWidget(lbConexao);
    status->addWidget(lbPorta);
    status->addWidget(lbIP);
    status->addStretch();

    BtOK = new QPushButton(QStringLiteral("OK"), this);
    BtCancelar = new QPushButton(QStringLiteral("Cancelar"), this);

    auto *top = new QHBoxLayout;
    top->addWidget(GroupBox1, 3);
    top->addWidget(rgProtocolo, 2);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(BtOK);
    buttons->addWidget(BtCancelar);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(GroupBox2);
    layout->addLayout(buttons);
    resize(380, 300);

    connect(rgProtocolo, &ChoiceGroup::itemIndexChanged, this, &TFrmProtocolo::rgProtocoloClick);
    connect(BtServer, &QPushButton::clicked, this, &TFrmProtocolo::BtServerClick);
    connect(BtClient, &QPushButton::clicked, this, &TFrmProtocolo::BtClientClick);
    connect(BtOK, &QPushButton::clicked, this, [this] { BtOKClick(); });
    connect(BtCancelar, &QPushButton::clicked, this, &TFrmProtocolo::BtCancelarClick);

    // Telnet negotiation reports whatever the field holds at that moment.
    m_connections.setTerminalTypeSource([this] { return toCp1252(edTerminal->text()); });
}

void TFrmProtocolo::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        FormActivate();
}

void TFrmProtocolo::closeEvent(QCloseEvent *event)
{
    // Closed by the window manager despite its missing buttons: leave the way
    // Cancelar does, so that the chooser comes back.
    if (!event->spontaneous())
        return;
    event->ignore();
    BtCancelarClick();
}

void TFrmProtocolo::FormActivate()
{
    m_savedProtocolKind = m_state.protocolKind;
    const int protocol = Terminal::protocolOnSettingsActivation(m_state.comutadoraMode, rgProtocolo->itemIndex());
    rgProtocolo->setEnabled(!m_state.comutadoraMode);
    if (protocol == rgProtocolo->itemIndex())
        rgProtocoloClick(protocol);
    else
        rgProtocolo->setItemIndex(protocol);
    if (!m_state.comutadoraMode)
        lbIP->setVisible(m_state.connectionRole != TerminalState::kServer);
    BtOK->setFocus();
}

void TFrmProtocolo::rgProtocoloClick(int index)
{
    m_state.protocolKind = index;
    const bool telnet = index == TerminalState::kTelnet;
    BtServer->setEnabled(!telnet);
    lbTerminal->setVisible(telnet);
    edTerminal->setVisible(telnet);
}

void TFrmProtocolo::BtServerClick()
{
    guarded(m_prompts, [this] {
        m_state.connectionRole = TerminalState::kServer;
        if (!m_config.writeConexao(TerminalState::kServer))
            return;
        const std::optional<QString> typed = m_prompts.inputBox(
            QStringLiteral("Digite o endereço da porta remota:"), QStringLiteral("Endereço"),
            m_stored.port);
        if (!typed)
            return;
        m_connections.setServerPort(portFromText(*typed));
        if (!m_config.writePorta(toCp1252(*typed)))
            return;
        lbConexao->setText(QStringLiteral("Conexão: Server"));
        lbPorta->setText(QStringLiteral("Porta: ") + *typed);
        m_stored.port = *typed;
        m_connections.setStoredPortAndAddress(m_stored.port, m_stored.address);
        lbIP->hide();
    });
}

void TFrmProtocolo::BtClientClick()
{
    guarded(m_prompts, [this] {
        m_state.connectionRole = TerminalState::kClient;
        if (!m_config.writeConexao(TerminalState::kClient))
            return;
        emit clientDialogRequested();
    });
}

bool TFrmProtocolo::BtOKClick()
{
    // The protocol is remembered for "Cancelar" even when storing it fails.
    if (m_state.comutadoraMode || m_state.protocolKind >= 0)
        m_savedProtocolKind = m_state.protocolKind;
    if (!confirmConnectionSettings(m_state, m_config, m_connections, m_prompts))
        return false;
    emit mainWindowRequested();
    hide();
    return true;
}

void TFrmProtocolo::BtCancelarClick()
{
    rgProtocolo->setItemIndex(m_savedProtocolKind);
    hide();
    emit chooserRequested();
}

void TFrmProtocolo::setClientLabels(const QString &address, const QString &port)
{
    lbIP->setText(address);
    lbPorta->setText(port);
    lbConexao->setText(QStringLiteral("Client"));
}
