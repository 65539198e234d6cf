#include "ui/main_window.h"

#include "engine/cp1252.h"
#include "engine/display_model.h"
#include "engine/main_view_state.h"
#include "engine/outputs.h"
#include "engine/prompts.h"
#include "engine/terminal_state.h"
#include "control/conversation_recording.h"
#include "control/quit_on_signals.h"
#include "inputs/barcode_reader.h"
#include "inputs/digital_inputs.h"
#include "inputs/playback.h"
#include "inputs/scale.h"
#include "shell/config_file.h"
#include "shell/serial_bridge.h"
#include "terminal/operator_actions.h"
#include "terminal/terminal.h"
#include "ui/choice_group.h"
#include "ui/display_field.h"
#include "ui/key_capture_field.h"
#include "ui/keyboard_panel.h"
#include "ui/led_shape.h"
#include "ui/link_label.h"
#include "ui/output_log_view.h"
#include "ui/trace_monitor.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>

#include <utility>

namespace
{

const QString kCaption = QStringLiteral("DRUMEL TECH - Emulador de Comunicação TCP/IP - Versão 2.0.0.16");
const QString kEditarCodigo = QStringLiteral("Editar Código");
const QString kSalvar = QStringLiteral("Salvar");

QColor rgb(quint32 value)
{
    return QColor::fromRgb(static_cast<QRgb>(value));
}

void paintBackground(QWidget *widget, const QColor &colour)
{
    QPalette colours = widget->palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        colours.setColor(group, QPalette::Base, colour);
    widget->setPalette(colours);
}

QLineEdit *lastByteField(QWidget *parent, const char *name, const QColor &colour)
{
    auto *field = new QLineEdit(parent);
    field->setObjectName(QLatin1String(name));
    field->setReadOnly(true);
    field->setFocusPolicy(Qt::NoFocus);
    paintBackground(field, colour);
    return field;
}

QCheckBox *checkBox(QWidget *parent, const char *name, const QString &caption)
{
    auto *box = new QCheckBox(caption, parent);
    box->setObjectName(QLatin1String(name));
    return box;
}

QPushButton *pushButton(QWidget *parent, const char *name, const QString &caption)
{
    auto *button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    return button;
}

// The small picture under the LEDs: the maker's mark drawn at run time.
QPixmap makerMark(const QSize &size)
{
    QPixmap picture(size);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0x20, 0x30, 0x60), 2));
    painter.setBrush(QColor(0xE8, 0xEC, 0xF4));
    painter.drawRoundedRect(QRectF(1, 1, size.width() - 2, size.height() - 2), 8, 8);
    QFont title = painter.font();
    title.setBold(true);
    title.setPointSizeF(title.pointSizeF() * 1.4);
    painter.setFont(title);
    painter.setPen(QColor(0x20, 0x30, 0x60));
    const QRect top(0, 0, size.width(), size.height() / 2 + 4);
    painter.drawText(top, Qt::AlignHCenter | Qt::AlignBottom, QStringLiteral("DRUMEL"));
    QFont sub = painter.font();
    sub.setBold(false);
    sub.setPointSizeF(sub.pointSizeF() / 1.4);
    painter.setFont(sub);
    const QRect bottom(0, size.height() / 2 + 6, size.width(), size.height() / 2 - 6);
    painter.drawText(bottom, Qt::AlignHCenter | Qt::AlignTop, QStringLiteral("Terminal TCP/IP"));
    return picture;
}

} // namespace

TForm1::TForm1(const AppContext &context, QWidget *parent) : QMainWindow(parent), m_context(context)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(kCaption);
    // Single border, system menu and minimise only: the window is never resized.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    auto *central = new QWidget(this);
    central->setObjectName(QStringLiteral("ClientArea"));
    setCentralWidget(central);

    buildMenus();
    buildOutputs(central);
    buildInputs(central);
    buildTerminal(central);
    buildBottomRow(central);
    buildEditor(central);
    buildStatusBar();
    central->setFixedSize(kEditorWidth, kClientHeight - sbStatus->sizeHint().height());

    connect(&m_frames, &FramePacer::frame, this, &TForm1::refreshFrame);
    connectMirrors();

    FormCreate();

    refreshDisplay();
    refreshOutputs();
    refreshLeds();
    refreshView();
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect desktop = screen->availableGeometry();
        move(desktop.center() - QPoint(kCollapsedWidth / 2, height() / 2));
    }
}

TForm1::~TForm1()
{
    m_recording.reset();
    if (m_context.keyboard)
        m_context.keyboard->setFocusReturn({});
}

void TForm1::buildMenus()
{
    QMenuBar *bar = menuBar();
    bar->setObjectName(QStringLiteral("MainMenu1"));
    QMenu *arquivo = bar->addMenu(QStringLiteral("Arquivo"));
    arquivo->setObjectName(QStringLiteral("Configurao1"));
    Diretrio1 = arquivo->addAction(QStringLiteral("Explorar"));
    Diretrio1->setObjectName(QStringLiteral("Diretrio1"));
    Equipamento1 = arquivo->addAction(QStringLiteral("Configurar Emulador"));
    Equipamento1->setObjectName(QStringLiteral("Equipamento1"));
    arquivo->addSeparator()->setObjectName(QStringLiteral("N1"));
    InicializaoAutomtica1 = arquivo->addAction(QStringLiteral("Inicialização Automática"));
    InicializaoAutomtica1->setObjectName(QStringLiteral("InicializaoAutomtica1"));
    InicializaoAutomtica1->setCheckable(true);

    QMenu *serial = bar->addMenu(QStringLiteral("Interface Serial"));
    serial->setObjectName(QStringLiteral("InterfaceSeral1"));
    ckHabilita_Serial = serial->addAction(QStringLiteral("Habilitado"));
    ckHabilita_Serial->setObjectName(QStringLiteral("ckHabilita_Serial"));
    ckHabilita_Serial->setCheckable(true);
    Configurao2 = serial->addAction(QStringLiteral("Configuração"));
    Configurao2->setObjectName(QStringLiteral("Configurao2"));

    Prompts &prompts = *m_context.prompts;
    connect(Diretrio1, &QAction::triggered, this,
            [this, &prompts] { guarded(prompts, [this] { emit explorarRequested(); }); });
    connect(Equipamento1, &QAction::triggered, this,
            [this, &prompts] { guarded(prompts, [this] { emit configurarRequested(); }); });
    connect(InicializaoAutomtica1, &QAction::triggered, this, &TForm1::InicializaoAutomtica1Click);
    connect(ckHabilita_Serial, &QAction::triggered, this, &TForm1::ckHabilita_SerialClick);
    connect(Configurao2, &QAction::triggered, this,
            [this, &prompts] { guarded(prompts, [this] { emit serialConfigRequested(); }); });

    if (m_context.terminal) {
        arquivo->addSeparator();
        MonitorComunicacao1 = arquivo->addAction(QStringLiteral("Monitor da Comunicação"));
        MonitorComunicacao1->setObjectName(QStringLiteral("MonitorComunicacao1"));
        connect(MonitorComunicacao1, &QAction::triggered, this, [this] {
            if (!m_monitor)
                m_monitor = new TraceMonitor(*m_context.terminal, this);
            m_monitor->show();
            m_monitor->raise();
            m_monitor->activateWindow();
        });
        GravarConversa1 = arquivo->addAction(QStringLiteral("Gravar Conversa..."));
        GravarConversa1->setObjectName(QStringLiteral("GravarConversa1"));
        connect(GravarConversa1, &QAction::triggered, this,
                [this, &prompts] { guarded(prompts, [this] { GravarConversa1Click(); }); });
    }
    // Menu commands go to the trace like the other things the operator does.
    connect(bar, &QMenuBar::triggered, this, [this](QAction *action) {
        if (m_context.actions)
            m_context.actions->reportCommand(action->text());
    });
}

void TForm1::buildOutputs(QWidget *central)
{
    Prompts &prompts = *m_context.prompts;
    TerminalState &state = *m_context.state;

    auto *paralela = new QGroupBox(QStringLiteral("Interface Paralela"), central);
    paralela->setObjectName(QStringLiteral("gbParalela"));
    paralela->setGeometry(4, 2, 170, 200);
    UltPar = lastByteField(paralela, "UltPar", Qt::green);
    UltPar->setGeometry(8, 22, 50, 22);
    Busy = checkBox(paralela, "Busy", QStringLiteral("Busy"));
    Busy->setGeometry(66, 22, 96, 22);
    IntPar = new OutputLogView(Qt::green, Outputs::kMaxLogLines, paralela);
    IntPar->setObjectName(QStringLiteral("IntPar"));
    IntPar->setGeometry(8, 50, 154, 142);

    Balanca = checkBox(central, "Balanca", QStringLiteral("Balança"));
    Balanca->setGeometry(180, 24, 106, 22);
    cbProtocoloBalanca = new QComboBox(central);
    cbProtocoloBalanca->setObjectName(QStringLiteral("cbProtocoloBalanca"));
    cbProtocoloBalanca->setGeometry(180, 52, 106, 24);
    cbProtocoloBalanca->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    cbProtocoloBalanca->setMinimumContentsLength(8);
    cbProtocoloBalanca->setVisible(false);

    auto *serial = new QGroupBox(QStringLiteral("Interface Serial"), central);
    serial->setObjectName(QStringLiteral("gbSerial"));
    serial->setGeometry(292, 2, 222, 200);
    UltSer = lastByteField(serial, "UltSer", Qt::yellow);
    UltSer->setGeometry(8, 22, 50, 22);
    Cts = checkBox(serial, "Cts", QStringLiteral("CTS"));
    Cts->setGeometry(66, 22, 56, 22);
    cbPortaCOM = checkBox(serial, "cbPortaCOM", QStringLiteral("Porta COM"));
    cbPortaCOM->setGeometry(124, 22, 94, 22);
    cbPortaCOM->setEnabled(false);
    IntSer = new OutputLogView(Qt::yellow, Outputs::kMaxLogLines, serial);
    IntSer->setObjectName(QStringLiteral("IntSer"));
    IntSer->setGeometry(8, 50, 206, 142);

    Busy->setChecked(state.busy);
    Cts->setChecked(state.cts);
    OperatorActions &actions = *m_context.actions;
    connect(Busy, &QCheckBox::toggled, this, [&actions](bool ticked) { actions.setBusy(ticked); });
    connect(Cts, &QCheckBox::toggled, this, [&actions](bool ticked) { actions.setCts(ticked); });
    connect(cbPortaCOM, &QCheckBox::clicked, this, [this, &prompts, &state](bool ticked) {
        guarded(prompts, [this, &state, ticked] {
            state.comPortBoxTicked = ticked;
            if (m_context.serial)
                m_context.serial->cbPortaCOMClick(ticked);
        });
    });
    connect(Balanca, &QCheckBox::clicked, this, [&actions](bool ticked) { actions.setScaleOn(ticked); });
    connect(cbProtocoloBalanca, &QComboBox::activated, this,
            [&actions](int index) { actions.chooseScaleReading(index); });
}

void TForm1::buildInputs(QWidget *central)
{
    OperatorActions &actions = *m_context.actions;
    const std::array<QCheckBox **, 4> boxes = {&CheckBox1, &CheckBox2, &CheckBox3, &CheckBox4};
    for (int i = 0; i < DigitalInputs::kInputCount; ++i) {
        const QByteArray name = "CheckBox" + QByteArray::number(i + 1);
        QCheckBox *box = checkBox(central, name.constData(), DigitalInputs::caption(i));
        box->setToolTip(DigitalInputs::hint(i));
        box->setGeometry(522, 26 + 26 * i, 74, 22);
        connect(box, &QCheckBox::clicked, this, [&actions, i](bool ticked) { actions.setInput(i, ticked); });
        *boxes.at(static_cast<std::size_t>(i)) = box;
    }
}

void TForm1::buildTerminal(QWidget *central)
{
    Panel1 = new QFrame(central);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(4, 210, 425, 64);
    Panel1->setStyleSheet(QStringLiteral("QFrame#Panel1 { background: #c0c0c0; border: 2px outset #e8e8e8;"
                                         " border-radius: 10px; }"));
    VDisplay1 = new DisplayField(Panel1);
    VDisplay1->setObjectName(QStringLiteral("VDisplay1"));
    VDisplay2 = new DisplayField(Panel1);
    VDisplay2->setObjectName(QStringLiteral("VDisplay2"));
    // Forty cells of the fixed-pitch face must fit the panel; shrink the face if not.
    QFont face = VDisplay1->font();
    while (QFontMetrics(face).horizontalAdvance(QString(DisplayModel::kColumns, QLatin1Char('W'))) > 395 &&
           face.pointSizeF() > 6)
        face.setPointSizeF(face.pointSizeF() - 0.5);
    VDisplay1->setFont(face);
    VDisplay2->setFont(face);
    VDisplay1->setGeometry(10, 8, 405, 23);
    VDisplay2->setGeometry(10, 33, 405, 23);
    connect(VDisplay1, &DisplayField::clicked, this, &TForm1::VDisplay1Click);
    connect(VDisplay2, &DisplayField::clicked, this, &TForm1::VDisplay1Click);

    // Led3 .. Led0 from left to right under their numbers.
    const std::array<quint32, 4> designColours = {0xFF00FF, 0xFFFF00, 0x0000FF, 0x00FF00};
    for (int i = 0; i < 4; ++i) {
        const int x = 560 - 38 * i;
        auto *number = new QLabel(QString::number(i), central);
        number->setObjectName(QStringLiteral("lbLed%1").arg(i));
        number->setAlignment(Qt::AlignCenter);
        number->setGeometry(x, 212, 20, 16);
        auto *led = new LedShape(rgb(designColours.at(static_cast<std::size_t>(i))), central);
        led->setObjectName(QStringLiteral("Led%1").arg(i));
        led->setGeometry(x + 2, 230, 16, 16);
        m_leds.at(static_cast<std::size_t>(i)) = led;
    }
    Led0 = m_leds[0];
    Led1 = m_leds[1];
    Led2 = m_leds[2];
    Led3 = m_leds[3];

    auto *picture = new QLabel(central);
    picture->setObjectName(QStringLiteral("Image1"));
    const QRect pictureArea(446, 300, 140, 84);
    picture->setGeometry(pictureArea);
    picture->setPixmap(makerMark(pictureArea.size()));

    pnTeclado = new KeyboardPanel(central);
    pnTeclado->move(4, 282);
    connect(pnTeclado, &KeyboardPanel::keyClicked, m_context.actions,
            [actions = m_context.actions](Keyboard::Key key) { actions->pressKey(key); });
}

void TForm1::buildBottomRow(QWidget *central)
{
    Prompts &prompts = *m_context.prompts;
    const QRect carrega(4, 462, 128, 28);
    // Created first so that it lies under "Carrega Arquivo": it holds the focus unseen.
    edFoco = new KeyCaptureField(central);
    edFoco->setObjectName(QStringLiteral("edFoco"));
    edFoco->setGeometry(carrega);
    connect(edFoco, &KeyCaptureField::pcKeyPressed, this, &TForm1::edFocoKeyDown);

    BtCarrega = pushButton(central, "BtCarrega", QStringLiteral("Carrega Arquivo"));
    BtCarrega->setGeometry(carrega);
    btRest = pushButton(central, "btRest", QStringLiteral("Reset Terminal"));
    btRest->setGeometry(136, 462, 104, 28);
    btCodigoBarras = pushButton(central, "btCodigoBarras", QStringLiteral("Código de Barras"));
    btCodigoBarras->setGeometry(244, 462, 122, 28);
    lbCodigo = new LinkLabel(kEditarCodigo, central);
    lbCodigo->setObjectName(QStringLiteral("lbCodigo"));
    lbCodigo->setGeometry(374, 462, 88, 28);
    lbCancela = new LinkLabel(QStringLiteral("Cancela"), central);
    lbCancela->setObjectName(QStringLiteral("lbCancela"));
    lbCancela->setGeometry(464, 462, 54, 28);
    BtSair = pushButton(central, "BtSair", QStringLiteral("Sair"));
    BtSair->setGeometry(522, 462, 74, 28);
    for (QPushButton *button : {BtCarrega, btRest, btCodigoBarras})
        button->setEnabled(false);

    connect(BtCarrega, &QPushButton::clicked, m_context.actions, &OperatorActions::pressPlaybackButton);
    connect(btRest, &QPushButton::clicked, this,
            [this, &prompts] { guarded(prompts, [this] { emit resetRequested(); }); });
    connect(btCodigoBarras, &QPushButton::clicked, m_context.actions,
            [actions = m_context.actions] { actions->pressBarcodeButton(); });
    connect(BtSair, &QPushButton::clicked, this,
            [this, &prompts] {
                guarded(prompts, [this] {
                    // Leaving ends a recording with what the terminal shows at that moment.
                    if (m_recording)
                        m_recording->stop();
                    emit sairRequested();
                });
            });
    connect(lbCodigo, &LinkLabel::clicked, this, &TForm1::lbCodigoClick);
    connect(lbCancela, &LinkLabel::clicked, this, &TForm1::lbCancelaClick);
}

void TForm1::buildEditor(QWidget *central)
{
    mmCodigo = new QPlainTextEdit(central);
    mmCodigo->setObjectName(QStringLiteral("mmCodigo"));
    mmCodigo->setGeometry(606, 8, 168, 270);
    mmCodigo->setLineWrapMode(QPlainTextEdit::NoWrap);

    rgTerminador = new ChoiceGroup(
        QStringLiteral("Terminador"),
        {QStringLiteral("Nenhum"), QStringLiteral("CR"), QStringLiteral("LF"), QStringLiteral("CR + LF")},
        central);
    rgTerminador->setObjectName(QStringLiteral("rgTerminador"));
    rgTerminador->setGeometry(606, 286, 168, 132);
    rgTerminador->setItemIndex(m_context.barcode->terminatorIndex());

    Label7 = new QLabel(QStringLiteral("Delai Envio"), central);
    Label7->setObjectName(QStringLiteral("Label7"));
    Label7->setGeometry(606, 426, 80, 22);
    edDelai = new QLineEdit(QString::number(m_context.state->barcodeCharDelay), central);
    edDelai->setObjectName(QStringLiteral("edDelai"));
    edDelai->setMaxLength(3);
    edDelai->setGeometry(690, 426, 44, 22);

    connect(mmCodigo, &QPlainTextEdit::textChanged, this, &TForm1::codeListEdited);
    connect(rgTerminador, &ChoiceGroup::itemIndexChanged, this,
            [this](int index) { m_context.barcode->setTerminatorIndex(index); });
}

void TForm1::buildStatusBar()
{
    sbStatus = statusBar();
    sbStatus->setObjectName(QStringLiteral("sbStatus"));
    sbStatus->setSizeGripEnabled(false);
    sbPanel0 = new QLabel(sbStatus);
    sbPanel0->setObjectName(QStringLiteral("sbPanel0"));
    sbPanel0->setFixedWidth(150);
    sbPanel1 = new QLabel(sbStatus);
    sbPanel1->setObjectName(QStringLiteral("sbPanel1"));
    sbPanel1->setMinimumWidth(50);
    sbStatus->addWidget(sbPanel0);
    // The last panel takes the rest of the bar, so "IP Remoto: ..." is read whole.
    sbStatus->addWidget(sbPanel1, 1);
}

void TForm1::connectMirrors()
{
    // A host may deliver thousands of times a second: what changed is marked
    // and shown at the next frame, never more often than the screen can show it.
    const auto stale = [this](bool &flag) {
        return [this, &flag] {
            flag = true;
            m_frames.request();
        };
    };
    connect(m_context.display, &DisplayModel::viewChanged, this, stale(m_displayStale));
    connect(m_context.outputs, &Outputs::parallelChanged, this, stale(m_outputsStale));
    connect(m_context.outputs, &Outputs::serialChanged, this, stale(m_outputsStale));
    connect(m_context.outputs, &Outputs::ledsChanged, this, stale(m_ledsStale));
    connect(m_context.view, &MainViewState::changed, this, &TForm1::refreshView);
    connect(m_context.scale, &Scale::itemsChanged, this, &TForm1::refreshScaleItems);
    connect(m_context.scale, &Scale::selectionChanged, cbProtocoloBalanca, &QComboBox::setCurrentIndex);
    if (m_context.playback) {
        BtCarrega->setText(m_context.playback->caption());
        connect(m_context.playback, &Playback::captionChanged, BtCarrega, &QPushButton::setText);
    }
    if (m_context.serial) {
        connect(m_context.serial, &SerialBridge::relayEnabledChanged, ckHabilita_Serial,
                &QAction::setChecked);
    }
    m_context.keyboard->setFocusReturn([this] { focusToEdFoco(); });
    connect(m_context.actions, &OperatorActions::changed, this, &TForm1::refreshOperatorBoxes);
}

void TForm1::FormCreate()
{
    setEditorVisible(false);
    lbCodigo->setText(kEditarCodigo);

    prepareMainView(m_context.workingFolder, *m_context.barcode, *m_context.scale, *m_context.display,
                    *m_context.outputs, *m_context.inputs);
    m_syncingCodeList = true;
    mmCodigo->setPlainText(fromCp1252(m_context.barcode->lines().join('\n')));
    m_syncingCodeList = false;
    refreshScaleItems();
    cbProtocoloBalanca->setVisible(m_context.scale->isOn());
}

void TForm1::enablePortaCom()
{
    cbPortaCOM->setEnabled(true);
}

void TForm1::setAutoStartChecked(bool checked)
{
    m_autoStart = checked;
    InicializaoAutomtica1->setChecked(checked);
}

QPushButton *TForm1::keyButton(Keyboard::Key key) const
{
    return pnTeclado->button(key);
}

int TForm1::clientWidth() const
{
    return width();
}

void TForm1::setClientWidth(int width)
{
    setFixedSize(width, kClientHeight + menuBar()->sizeHint().height());
}

void TForm1::setEditorVisible(bool visible)
{
    setClientWidth(visible ? kEditorWidth : kCollapsedWidth);
    for (QWidget *widget :
         {static_cast<QWidget *>(mmCodigo), static_cast<QWidget *>(rgTerminador),
          static_cast<QWidget *>(edDelai), static_cast<QWidget *>(Label7), static_cast<QWidget *>(lbCancela)})
        widget->setVisible(visible);
}

void TForm1::focusToEdFoco()
{
    // Keys also come from the COM port and from playback while the window is hidden.
    if (isVisible())
        edFoco->setFocus(Qt::OtherFocusReason);
}

void TForm1::edFocoKeyDown(int qtKey, Qt::KeyboardModifiers modifiers)
{
    const std::optional<Keyboard::Key> key = Keyboard::keyForPcKey(qtKey, modifiers);
    if (!key)
        return;
    m_context.actions->pressKey(*key);
}

void TForm1::VDisplay1Click()
{
    guarded(*m_context.prompts, [this] { focusToEdFoco(); });
}

void TForm1::lbCodigoClick()
{
    guarded(*m_context.prompts, [this] {
        if (lbCodigo->text() == kEditarCodigo) {
            // Another window may have set the terminator while the editor was closed.
            rgTerminador->setItemIndex(m_context.barcode->terminatorIndex());
            setEditorVisible(true);
            lbCodigo->setText(kSalvar);
            return;
        }
        setEditorVisible(false);
        lbCodigo->setText(kEditarCodigo);
        const QDir folder(m_context.workingFolder);
        m_context.barcode->saveCodes(folder.filePath(QStringLiteral("Codigo.txt")));
        const QByteArray delayText = toCp1252(edDelai->text());
        if (m_context.config)
            m_context.config->writeBarcodeSettings(rgTerminador->itemIndex(), delayText);
        // Applied even when the settings could not be stored (the program is then ending).
        m_context.barcode->applyDelayText(delayText);
    });
}

void TForm1::lbCancelaClick()
{
    guarded(*m_context.prompts, [this] {
        setEditorVisible(false);
        lbCodigo->setText(kEditarCodigo);
    });
}

void TForm1::ckHabilita_SerialClick()
{
    // The bridge owns the check mark: undo Qt's own toggle and show what the bridge decides.
    ckHabilita_Serial->setChecked(m_context.state->serialRelayEnabled);
    guarded(*m_context.prompts, [this] {
        if (m_context.serial)
            m_context.serial->ckHabilitaSerialClick();
    });
    ckHabilita_Serial->setChecked(m_context.state->serialRelayEnabled);
}

void TForm1::InicializaoAutomtica1Click()
{
    // The command toggles the mark and stores it, then tells the window through setAutoStartChecked.
    InicializaoAutomtica1->setChecked(m_autoStart);
    guarded(*m_context.prompts, [this] { emit autoStartToggled(); });
}

void TForm1::refreshDisplay()
{
    VDisplay1->showBytes(m_context.display->view1());
    VDisplay2->showBytes(m_context.display->view2());
}

void TForm1::refreshOutputs()
{
    const Outputs &outputs = *m_context.outputs;
    UltPar->setText(fromCp1252(outputs.lastParallel()));
    UltSer->setText(fromCp1252(outputs.lastSerial()));
    IntPar->sync(outputs.parallelLog(), outputs.parallelLinesAdded());
    IntSer->sync(outputs.serialLog(), outputs.serialLinesAdded());
}

void TForm1::refreshLeds()
{
    for (int i = 0; i < 4; ++i)
        m_leds.at(static_cast<std::size_t>(i))->setColour(rgb(m_context.outputs->ledColor(i)));
}

void TForm1::refreshFrame()
{
    if (std::exchange(m_displayStale, false))
        refreshDisplay();
    if (std::exchange(m_outputsStale, false))
        refreshOutputs();
    if (std::exchange(m_ledsStale, false))
        refreshLeds();
}

void TForm1::refreshView()
{
    const MainViewState &view = *m_context.view;
    sbPanel0->setText(view.statusPanel0());
    sbPanel1->setText(view.statusPanel1());
    for (QPushButton *button : {BtCarrega, btRest, btCodigoBarras})
        button->setEnabled(view.connectionButtonsEnabled());
}

void TForm1::refreshOperatorBoxes()
{
    const std::array<QCheckBox *, 4> boxes = {CheckBox1, CheckBox2, CheckBox3, CheckBox4};
    for (int i = 0; i < DigitalInputs::kInputCount; ++i)
        boxes.at(static_cast<std::size_t>(i))->setChecked(m_context.inputs->isInputOn(i));
    Busy->setChecked(m_context.state->busy);
    Cts->setChecked(m_context.state->cts);
    const bool scaleOn = m_context.scale->isOn();
    Balanca->setChecked(scaleOn);
    cbProtocoloBalanca->setVisible(scaleOn);
    if (m_context.scale->ScaleIndex() < cbProtocoloBalanca->count())
        cbProtocoloBalanca->setCurrentIndex(m_context.scale->ScaleIndex());
}

void TForm1::refreshScaleItems()
{
    const int selected = cbProtocoloBalanca->currentIndex();
    QStringList texts;
    for (const QByteArray &item : m_context.scale->items())
        texts.append(fromCp1252(item));
    cbProtocoloBalanca->clear();
    cbProtocoloBalanca->addItems(texts);
    cbProtocoloBalanca->setCurrentIndex(qBound(texts.isEmpty() ? -1 : 0, selected, int(texts.size()) - 1));
}

void TForm1::codeListEdited()
{
    if (m_syncingCodeList)
        return;
    // toPlainText() would turn no-break spaces into spaces; the list keeps every byte.
    QString text = mmCodigo->document()->toRawText();
    text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    text.replace(QChar::LineSeparator, QLatin1Char('\n'));
    m_context.barcode->setText(toCp1252(text));
}

void TForm1::closeEvent(QCloseEvent *event)
{
    // Hidden, never destroyed: the window keeps its controls for the next time.
    event->accept();
    guarded(*m_context.prompts, [this] { emit closing(); });
}

void TForm1::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        edFoco->setFocus(Qt::ActiveWindowFocusReason);
        guarded(*m_context.prompts, [this] { emit activated(); });
    }
}

void TForm1::GravarConversa1Click()
{
    Prompts &prompts = *m_context.prompts;
    if (!m_recording) {
        m_recording = std::make_unique<ConversationRecording>(*m_context.terminal);
        connect(m_recording.get(), &ConversationRecording::recordingChanged, this, [this](bool recording) {
            GravarConversa1->setText(recording ? QStringLiteral("Parar Gravação") : QStringLiteral("Gravar Conversa..."));
            if (recording && !QuitOnSignals::installed())
                m_quitWhileRecording = std::make_unique<QuitOnSignals>();
            else if (!recording)
                m_quitWhileRecording.reset();
        });
    }
    if (m_recording->isRecording()) {
        if (QString error; !m_recording->stop(&error))
            prompts.showMessage(kApplicationTitle, error, Prompts::Icon::Warning);
        return;
    }
    const QString folder = m_context.terminal->workingFolder();
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Gravar Conversa"),
                                                      QDir(folder).filePath(QStringLiteral("conversa.jsonl")),
                                                      QStringLiteral("Conversas (*.jsonl);;Todos os arquivos (*)"));
    if (path.isEmpty())
        return;
    // The dialog has asked before replacing an existing file.
    if (QString error; !m_recording->start(folder, path, QFileInfo::exists(path), &error))
        prompts.showMessage(kApplicationTitle, error, Prompts::Icon::Warning);
}
