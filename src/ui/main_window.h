#pragma once

#include "inputs/keyboard.h"
#include "ui/app_context.h"
#include "ui/frame_pacer.h"

#include <QMainWindow>

#include <memory>

#include <array>

class QAction;
class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class ChoiceGroup;
class DisplayField;
class KeyCaptureField;
class KeyboardPanel;
class LedShape;
class LinkLabel;
class OutputLogView;
class TraceMonitor;
class ConversationRecording;
class QuitOnSignals;

// The main window: the emulated terminal as the user sees it. It holds no
// terminal state of its own. Clicks and PC keys go to the logic objects of the
// application context (keyboard, inputs, barcode reader, scale, playback, serial
// bridge, configuration); what those objects hold comes back through their
// change signals and is mirrored here: the display model into the two display
// fields, the outputs into the logs, last-byte fields and LEDs, the main view
// state into the status bar and the three connection buttons. The window's own
// commands ("Sair", "Reset Terminal", the "Arquivo" menu, serial settings) are
// announced as signals for the start-up flow to run. Closing only hides the
// window; it is created once and shown again later with its controls as left.
// The objects of the context must outlive the window.
class TForm1 : public QMainWindow
{
    Q_OBJECT
public:
    static constexpr int kClientHeight = 530;
    static constexpr int kCollapsedWidth = 600;
    static constexpr int kEditorWidth = 780;

    explicit TForm1(const AppContext &context, QWidget *parent = nullptr);
    ~TForm1() override;

    // The window's creation step: editor collapsed, code list and scale texts
    // loaded from the working folder, display, outputs, inputs and code index
    // reset. Run by the constructor.
    void FormCreate();

    void enablePortaCom();
    void setAutoStartChecked(bool checked);

    QPushButton *keyButton(Keyboard::Key key) const;
    int clientWidth() const;

    // Display and keyboard.
    QFrame *Panel1;
    DisplayField *VDisplay1;
    DisplayField *VDisplay2;
    KeyCaptureField *edFoco;
    KeyboardPanel *pnTeclado;
    LedShape *Led0;
    LedShape *Led1;
    LedShape *Led2;
    LedShape *Led3;

    // Outputs.
    QLineEdit *UltPar;
    QLineEdit *UltSer;
    OutputLogView *IntPar;
    OutputLogView *IntSer;
    QCheckBox *Busy;
    QCheckBox *Cts;
    QCheckBox *cbPortaCOM;

    // Inputs, scale, barcode.
    QCheckBox *CheckBox1;
    QCheckBox *CheckBox2;
    QCheckBox *CheckBox3;
    QCheckBox *CheckBox4;
    QCheckBox *Balanca;
    QComboBox *cbProtocoloBalanca;
    QPlainTextEdit *mmCodigo;
    ChoiceGroup *rgTerminador;
    QLineEdit *edDelai;
    QLabel *Label7;
    LinkLabel *lbCodigo;
    LinkLabel *lbCancela;

    // Bottom row.
    QPushButton *BtCarrega;
    QPushButton *btRest;
    QPushButton *btCodigoBarras;
    QPushButton *BtSair;

    QStatusBar *sbStatus;
    QLabel *sbPanel0;
    QLabel *sbPanel1;
    QAction *Diretrio1;
    QAction *Equipamento1;
    QAction *InicializaoAutomtica1;
    QAction *ckHabilita_Serial;
    QAction *Configurao2;
    // "Monitor da Comunicação": the live trace window, made at its first use.
    QAction *MonitorComunicacao1 = nullptr;
    TraceMonitor *monitor() const { return m_monitor; }
    // "Gravar Conversa...", which reads "Parar Gravação" while a conversation is recorded.
    QAction *GravarConversa1 = nullptr;
    void GravarConversa1Click();

signals:
    void resetRequested();
    void sairRequested();
    void explorarRequested();
    void configurarRequested();
    void autoStartToggled();
    void serialConfigRequested();
    void activated();
    void closing();

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void buildMenus();
    void buildOutputs(QWidget *central);
    void buildInputs(QWidget *central);
    void buildTerminal(QWidget *central);
    void buildBottomRow(QWidget *central);
    void buildEditor(QWidget *central);
    void buildStatusBar();
    void connectMirrors();

    void setClientWidth(int width);
    void setEditorVisible(bool visible);
    void focusToEdFoco();

    // Event handlers named after their controls.
    void edFocoKeyDown(int qtKey, Qt::KeyboardModifiers modifiers);
    void VDisplay1Click();
    void lbCodigoClick();
    void lbCancelaClick();
    void ckHabilita_SerialClick();
    void InicializaoAutomtica1Click();

    void refreshDisplay();
    void refreshOutputs();
    void refreshLeds();
    void refreshFrame();
    void refreshView();
    void refreshScaleItems();
    void refreshOperatorBoxes();
    void codeListEdited();

    AppContext m_context;
    std::array<LedShape *, 4> m_leds{};
    // The display fields, logs and LEDs are brought up to date once per screen
    // frame, whatever the number of deliveries in it.
    FramePacer m_frames;
    bool m_displayStale = false;
    bool m_outputsStale = false;
    bool m_ledsStale = false;
    bool m_autoStart = false;
    bool m_syncingCodeList = false;
    TraceMonitor *m_monitor = nullptr;
    // While a recording runs, SIGINT and SIGTERM end the run through the event
    // loop, so the file gets its last screen (unless the run already does so
    // for its control socket or trace). Declared first: it outlives the recording.
    std::unique_ptr<QuitOnSignals> m_quitWhileRecording;
    std::unique_ptr<ConversationRecording> m_recording;
};
