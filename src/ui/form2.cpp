#include "ui/form2.h"

#include "engine/prompts.h"
#include "engine/terminal_state.h"
#include "link/connection_manager.h"
#include "terminal/terminal.h"
#include "ui/app_context.h"
#include "ui/choice_group.h"
#include "ui/frm_protocolo.h"
#include "ui/main_window.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

TForm2::TForm2(AppContext &app, TForm1 &form1, TFrmProtocolo &protocolo, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      m_app(app), m_form1(form1), m_protocolo(protocolo)
{
    setWindowTitle(QStringLiteral("Equipamento"));
    setObjectName(QStringLiteral("Form2"));

    GroupBox1 = new QGroupBox(QStringLiteral("Escolha o Equipamento IP:"), this);
    BtTerminal = new QPushButton(QStringLiteral("Terminal TCP-IP"), GroupBox1);
    BtTerminal->setToolTip(QStringLiteral("Emula Terminal TCP-IP 44 teclas 2x40."));
    BtComutadora = new QPushButton(QStringLiteral("Comutadora TCP-IP"), GroupBox1);
    BtComutadora->setToolTip(
        QStringLiteral("Emula Comutadora  TCP-IP para rede de Terminais RS485."));
    for (QPushButton *button : {BtTerminal, BtComutadora})
        button->setMinimumHeight(48);
    auto *choices = new QVBoxLayout(GroupBox1);
    choices->addWidget(BtTerminal);
    choices->addWidget(BtComutadora);

    BtSair = new QPushButton(this);
    BtSair->setIcon(style()->standardIcon(QStyle::SP_DialogCloseButton));
    BtSair->setIconSize(QSize(32, 32));
    BtSair->setFixedSize(56, 48);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(GroupBox1);
    layout->addWidget(BtSair, 0, Qt::AlignHCenter);
    setFixedSize(kOuterWidth, kOuterHeight);
    move(120, 120);
    setProperty("placed", true);

    connect(BtTerminal, &QPushButton::clicked, this, &TForm2::BtTerminalClick);
    connect(BtComutadora, &QPushButton::clicked, this, &TForm2::BtComutadoraClick);
    connect(BtSair, &QPushButton::clicked, this, &TForm2::BtSairClick);

    FormCreate();
}

void TForm2::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // The outer size includes whatever frame the window manager draws.
    const QSize frame = frameGeometry().size() - size();
    if (!frame.isEmpty())
        setFixedSize(kOuterWidth - frame.width(), kOuterHeight - frame.height());
}

void TForm2::closeEvent(QCloseEvent *event)
{
    // A window manager may offer to close it anyway; the run would go on with
    // no window left. Only the exit button leaves the chooser. The application's
    // own closing of every window at the end of the run is not refused.
    if (event->spontaneous())
        event->ignore();
}

void TForm2::FormCreate()
{
    const LoadedSettings loaded = m_app.terminal->load();

    m_form1.rgTerminador->setItemIndex(loaded.terminatorIndex);
    // The field's length limit is for typing: a longer stored delay is shown
    // whole, or saving the barcode settings would store a cut-down delay.
    const QString delay = QString::number(loaded.barcodeCharDelay);
    if (delay.size() > m_form1.edDelai->maxLength())
        m_form1.edDelai->setMaxLength(int(delay.size()));
    m_form1.edDelai->setText(delay);

    m_protocolo.rgProtocolo->setItemIndex(loaded.protocolIndex);
    m_protocolo.rgProtocolo->setEnabled(true);

    // With a stored port that is not a usable number the labels keep their design texts.
    if (!loaded.portApplied)
        return;
    const bool server = loaded.connectionRole == TerminalState::kServer;
    m_protocolo.lbConexao->setText(server ? QStringLiteral("Conexão: Server") : QStringLiteral("Conexão: Client"));
    m_protocolo.lbPorta->setText(QStringLiteral("Porta: ") + loaded.link.port);
    if (!server)
        m_protocolo.lbIP->setText(QStringLiteral("IP: ") + loaded.link.address);
    m_protocolo.lbIP->setVisible(!server);
}

void TForm2::choose(bool comutadora)
{
    m_app.terminal->chooseEquipment(comutadora);
    emit protocolWindowRequested();
    hide();
}

void TForm2::BtTerminalClick()
{
    choose(false);
}

void TForm2::BtComutadoraClick()
{
    choose(true);
}

void TForm2::FormClose()
{
    guarded(*m_app.prompts, [this] {
        if (m_app.connections->isServerActive())
            m_app.connections->closeServer();
        if (m_app.connections->isClientActive())
            m_app.connections->closeClient();
    });
}

void TForm2::BtSairClick()
{
    FormClose();
    hide();
    m_app.prompts->requestTerminate();
}
