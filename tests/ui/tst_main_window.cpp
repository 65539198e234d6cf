// The main window against the real terminal objects: keys and PC keys reach the
// host sender, the host's output commands reach the LEDs and logs, the operator
// boxes reach the terminal state, and the barcode editor stores its settings.

#include "common/recorders.h"
#include "engine/display_model.h"
#include "engine/host_interpreter.h"
#include "engine/main_view_state.h"
#include "engine/outputs.h"
#include "engine/terminal_state.h"
#include "inputs/barcode_reader.h"
#include "inputs/digital_inputs.h"
#include "inputs/keyboard.h"
#include "inputs/scale.h"
#include "shell/config_file.h"
#include "shell/serial_bridge.h"
#include "ui/choice_group.h"
#include "ui/display_field.h"
#include "ui/key_capture_field.h"
#include "ui/led_shape.h"
#include "ui/link_label.h"
#include "terminal/operator_actions.h"
#include "ui/main_window.h"
#include "ui/output_log_view.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace
{

using Key = Keyboard::Key;

// One emulator's worth of terminal objects around a main window, in a fresh
// working folder.
struct Rig {
    explicit Rig(const QString &workingFolder, const QByteArray &codigo = {}, const QByteArray &balanca = {})
        : folder(workingFolder)
    {
        if (!codigo.isNull())
            writeFile(folder + "/Codigo.txt", codigo);
        if (!balanca.isNull())
            writeFile(folder + "/Balanca.txt", balanca);
        state.protocolKind = TerminalState::kVt100;
        state.barcodeCharDelay = 0;
        outputs.setEnqResponder(&scale);
        context.state = &state;
        context.display = &display;
        context.outputs = &outputs;
        context.view = &view;
        context.keyboard = &keyboard;
        context.inputs = &inputs;
        context.barcode = &barcode;
        context.scale = &scale;
        context.config = &config;
        context.serial = &serial;
        context.prompts = &prompts;
        context.actions = &actions;
        context.workingFolder = folder;
        window = std::make_unique<TForm1>(context);
    }

    static void writeFile(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    // What the terminal sent, once the operations that type it (a barcode) are over.
    QByteArray takeSent()
    {
        (void)QTest::qWaitFor([this] { return operations.idle(); }, 5000);
        const QByteArray all = sender.all();
        sender.sends.clear();
        return all;
    }

    QString folder;
    RecordingPrompts prompts;
    RecordingSender sender;
    TerminalState state;
    DisplayModel display;
    Outputs outputs{state};
    MainViewState view;
    OperationStack operations{prompts};
    Keyboard keyboard{state, sender, operations};
    DigitalInputs inputs{state, keyboard, sender};
    HostInterpreter interpreter{state, display, outputs, sender, inputs};
    BarcodeReader barcode{state, keyboard};
    Scale scale{state, sender};
    ConfigFile config{QDir(folder).filePath("Config.ini"), prompts};
    SerialBridge serial{state, prompts, QDir(folder).filePath("Config.ini"),
                        [this](char c) { keyboard.SendKey(c); }};
    OperatorActions actions{{&state, &keyboard, &inputs, &barcode, &scale, nullptr, nullptr, &prompts}};
    AppContext context;
    std::unique_ptr<TForm1> window;
};

QStringList lines(const OutputLogView *log)
{
    QStringList out;
    for (int row = 0; row < log->shownLines(); ++row)
        out.append(log->lineText(row));
    return out;
}

QByteArray zorvane(char letter, char operand)
{
    return QByteArray() + '\x02' + letter + operand + '\x03';
}

} // namespace

class TstMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void pcKeyActsAsOnScreenKey_data();
    void pcKeyActsAsOnScreenKey();
    void unmappedPcKeysSendNothing();
    void pointThenDigitSendsFunctionKey();
    void focusComesBackToCaptureField();
    void displayMirrorsModel();
    void ledsFollowRelayCommands();
    void logsMirrorOutputs();
    void logsStayBoundedAndFollowClearing();
    void refreshedToTheLastDelivery();
    void operatorBoxesReachTerminal();
    void inputBoxesReportState();
    void codeListLoadedAndEditedListIsSent();
    void editorSavesSettings();
    void editorReportsBadDelay();
    void scaleBoxShowsReadings();
    void serialMenuAndPortaCom();
    void closingHidesAndAnnounces();
    void screenshot();

private:
    std::unique_ptr<QTemporaryDir> m_folder;
};

void TstMainWindow::init()
{
    m_folder = std::make_unique<QTemporaryDir>();
    QVERIFY(m_folder->isValid());
}

void TstMainWindow::pcKeyActsAsOnScreenKey_data()
{
    QTest::addColumn<int>("protocol");
    QTest::addColumn<int>("qtKey");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QByteArray>("bytes");

    const int vt = TerminalState::kVt100;
    const int zv = TerminalState::kZorvane;
    QTest::newRow("shifted letter, VT100")
        << vt << int(Qt::Key_A) << int(Qt::ShiftModifier) << "BtA" << QByteArray("a");
    QTest::newRow("letter, Zorvane") << zv << int(Qt::Key_Q) << int(Qt::NoModifier) << "BtQ"
                                     << QByteArray("Q");
    QTest::newRow("keypad 7") << vt << int(Qt::Key_7) << int(Qt::KeypadModifier) << "Bt7" << QByteArray("7");
    QTest::newRow("Esc, VT100") << vt << int(Qt::Key_Escape) << int(Qt::NoModifier) << "BtDel"
                                << QByteArray("\x1b");
    QTest::newRow("Delete, Zorvane") << zv << int(Qt::Key_Delete) << int(Qt::NoModifier) << "BtDel"
                                     << QByteArray("\x7f");
    QTest::newRow("keypad decimal") << vt << int(Qt::Key_Period) << int(Qt::KeypadModifier) << "BtVirgula"
                                    << QByteArray(",");
    QTest::newRow("period") << vt << int(Qt::Key_Period) << int(Qt::NoModifier) << "BtPonto"
                            << QByteArray(".");
}

void TstMainWindow::pcKeyActsAsOnScreenKey()
{
    QFETCH(int, protocol);
    QFETCH(int, qtKey);
    QFETCH(int, modifiers);
    QFETCH(QString, button);
    QFETCH(QByteArray, bytes);

    Rig rig(m_folder->path());
    rig.state.protocolKind = protocol;
    auto *key = rig.window->findChild<QPushButton *>(button);
    QVERIFY(key);
    QTest::mouseClick(key, Qt::LeftButton);
    QCOMPARE(rig.takeSent(), bytes);
    QTest::keyClick(rig.window->edFoco, Qt::Key(qtKey), Qt::KeyboardModifiers(modifiers));
    QCOMPARE(rig.takeSent(), bytes);
}

void TstMainWindow::unmappedPcKeysSendNothing()
{
    Rig rig(m_folder->path());
    for (const Qt::Key key : {Qt::Key_F1, Qt::Key_Left, Qt::Key_Exclam, Qt::Key_Shift})
        QTest::keyClick(rig.window->edFoco, key);
    QCOMPARE(rig.sender.sends.size(), 0);
    QVERIFY(rig.window->edFoco->text().isEmpty());

    // A symbol that Shift made of a digit-row, comma or period key is that key
    // (X/Wayland keycodes 10..19, 59, 60); an unshifted symbol stays unmapped.
    const auto press = [&](Qt::Key key, Qt::KeyboardModifiers modifiers, quint32 keycode, const QString &text) {
        QKeyEvent event(QEvent::KeyPress, key, modifiers, keycode, 0, 0, text);
        QCoreApplication::sendEvent(rig.window->edFoco, &event);
    };
    press(Qt::Key_Exclam, Qt::ShiftModifier, 10, QStringLiteral("!"));
    press(Qt::Key_ParenRight, Qt::ShiftModifier, 19, QStringLiteral(")"));
    press(Qt::Key_Less, Qt::ShiftModifier, 59, QStringLiteral("<"));
    press(Qt::Key_Exclam, Qt::NoModifier, 10, QStringLiteral("!"));
    QCOMPARE(rig.takeSent(), QByteArray("10,"));
}

void TstMainWindow::pointThenDigitSendsFunctionKey()
{
    Rig rig(m_folder->path());
    rig.state.functionKeyMode = true;
    QTest::mouseClick(rig.window->keyButton(Key::Ponto), Qt::LeftButton);
    QCOMPARE(rig.sender.sends.size(), 0);
    QTest::mouseClick(rig.window->keyButton(Key::K1), Qt::LeftButton);
    QCOMPARE(rig.takeSent(), QByteArray("\x1bOP"));
    // The same through the PC keyboard: the point key arms, "2" sends ESC O Q.
    QTest::keyClick(rig.window->edFoco, Qt::Key_Period);
    QTest::keyClick(rig.window->edFoco, Qt::Key_2);
    QCOMPARE(rig.takeSent(), QByteArray("\x1bOQ"));
}

void TstMainWindow::focusComesBackToCaptureField()
{
    Rig rig(m_folder->path());
    rig.window->show();
    rig.window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(rig.window.get()));
    QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget *>(rig.window->edFoco));

    rig.window->edDelai->setFocus();
    QTest::mouseClick(rig.window->keyButton(Key::B), Qt::LeftButton);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(rig.window->edFoco));

    rig.window->edDelai->setFocus();
    QTest::mouseClick(rig.window->VDisplay2, Qt::LeftButton);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(rig.window->edFoco));

    // Keys from the COM port or playback go on while the window is hidden.
    rig.window->hide();
    rig.keyboard.SendKey('x');
    QCOMPARE(rig.takeSent(), QByteArray("bx"));
}

void TstMainWindow::displayMirrorsModel()
{
    Rig rig(m_folder->path());
    QVERIFY(rig.window->VDisplay1->text().isEmpty());
    rig.state.protocolKind = TerminalState::kZorvane;
    rig.interpreter.InterpretHostData(QByteArray("\x02"
                                                 "DOl\xe1\x03"));
    QTRY_COMPARE(rig.window->VDisplay1->text(), QString::fromUtf8("Olá") + QString(37, ' '));

    // Control bytes in a cell keep the forty columns and show as one visible cell.
    rig.display.WriteText(QByteArray("\x01\x1b\x7f\x81", 4));
    QTRY_COMPARE(rig.window->VDisplay1->text(), DisplayField::shownText(rig.display.view1()));
    const QString shown = rig.window->VDisplay1->text();
    QCOMPARE(shown.size(), 40);
    QCOMPARE(shown.mid(3, 4), QString(4, QChar(0x00B7)));

    rig.display.showStatusText(2, "Conectado");
    QTRY_COMPARE(rig.window->VDisplay2->text(), QStringLiteral("Conectado"));
}

void TstMainWindow::ledsFollowRelayCommands()
{
    Rig rig(m_folder->path());
    auto colours = [&rig] {
        QList<QColor> out;
        for (LedShape *led : {rig.window->Led0, rig.window->Led1, rig.window->Led2, rig.window->Led3})
            out.append(led->colour());
        return out;
    };
    QCOMPARE(colours(),
             (QList<QColor>{QColor(0xFF00FF), QColor(0xFFFF00), QColor(0x0000FF), QColor(0x00FF00)}));
    // Led0 is the rightmost, Led3 the leftmost.
    QVERIFY(rig.window->Led0->x() > rig.window->Led1->x());
    QVERIFY(rig.window->Led2->x() > rig.window->Led3->x());

    rig.state.protocolKind = TerminalState::kZorvane;
    rig.interpreter.InterpretHostData(zorvane('G', 0x05));
    QTRY_COMPARE(colours(), (QList<QColor>{Qt::red, QColor(0x0000FF), Qt::red, QColor(0xFF00FF)}));
    rig.interpreter.InterpretHostData(zorvane('G', 0x00));
    QTRY_COMPARE(colours(),
             (QList<QColor>{QColor(0x00FF00), QColor(0x0000FF), QColor(0xFFFF00), QColor(0xFF00FF)}));
}

void TstMainWindow::logsMirrorOutputs()
{
    Rig rig(m_folder->path());
    rig.state.protocolKind = TerminalState::kZorvane;
    QByteArray delivery;
    for (const char b : QByteArray("AB\r\n"))
        delivery += zorvane('P', b);
    delivery += zorvane('P', 'C');
    for (const char b : QByteArray("OK\x05\x80"))
        delivery += zorvane('S', b);
    rig.interpreter.InterpretHostData(delivery);

    QTRY_COMPARE(lines(rig.window->IntPar), QStringList{"AB(13)(10)"});
    QCOMPARE(rig.window->UltPar->text(), QStringLiteral("C"));
    QCOMPARE(lines(rig.window->IntSer), (QStringList{"O", "K", "(5)", "(128)"}));
    QCOMPARE(rig.window->UltSer->text(), QStringLiteral("(128)"));

    // The partial printer line is completed by the next line feed.
    rig.interpreter.InterpretHostData(zorvane('P', '\n'));
    QTRY_COMPARE(lines(rig.window->IntPar), (QStringList{"AB(13)(10)", "C(10)"}));
}

void TstMainWindow::logsStayBoundedAndFollowClearing()
{
    Rig rig(m_folder->path());
    OutputLogView *log = rig.window->IntSer;
    for (int i = 0; i < 3; ++i)
        rig.outputs.SerialOut('a');
    QTRY_COMPARE(log->shownLines(), 3);

    // Emptied and refilled before the view caught up: the view shows only the new lines.
    rig.outputs.clearLogs();
    rig.outputs.SerialOut('z');
    QTRY_COMPARE(lines(log), QStringList{"z"});
    rig.outputs.clearLogs();
    QTRY_COMPARE(lines(log), QStringList{});

    // A flood in several deliveries, more lines than either side keeps.
    const int total = Outputs::kMaxLogLines + 2500;
    for (int i = 0; i < total; ++i) {
        rig.outputs.SerialOut(static_cast<char>('0' + i % 10));
        if (i % 3000 == 0)
            QCoreApplication::processEvents();
    }
    rig.outputs.SerialOut('#');
    QTRY_COMPARE(log->lineText(log->shownLines() - 1), QStringLiteral("#"));
    QCOMPARE(log->shownLines(), Outputs::kMaxLogLines);
    QCOMPARE(log->lineText(log->shownLines() - 2), QString(QChar('0' + (total - 1) % 10)));
    QCOMPARE(log->lineText(0), QString(QChar('0' + 2501 % 10)));
}

void TstMainWindow::refreshedToTheLastDelivery()
{
    Rig rig(m_folder->path());
    TForm1 &w = *rig.window;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    rig.state.protocolKind = TerminalState::kZorvane;
    QCoreApplication::processEvents();

    // Many deliveries, the event loop running between them as it does for a
    // host: display text, LEDs, both logs and the last-byte fields.
    for (int i = 0; i < 300; ++i) {
        QByteArray delivery = "\x02" "D" + QByteArray::number(i).rightJustified(5, '0') + "\x03";
        delivery += zorvane('G', static_cast<char>(i % 16));
        delivery += zorvane('P', static_cast<char>('a' + i % 26)) + zorvane('P', '\n');
        delivery += zorvane('S', static_cast<char>('A' + i % 26));
        rig.interpreter.InterpretHostData(delivery);
        QCoreApplication::processEvents();
    }
    // The last one is not shown before the window's next frame, and then exactly.
    rig.interpreter.InterpretHostData(zorvane('S', '\x80') + zorvane('G', 0x0A) + "\x02" "D!\x03");
    QVERIFY(!w.VDisplay1->text().contains(QLatin1Char('!')));
    const QString line1 = DisplayField::shownText(rig.display.view1());
    QTRY_COMPARE(w.VDisplay1->text(), line1);
    QCOMPARE(w.VDisplay2->text(), DisplayField::shownText(rig.display.view2()));
    QCOMPARE(w.Led1->colour(), QColor(Qt::red));
    QCOMPARE(w.Led3->colour(), QColor(Qt::red));
    QCOMPARE(w.Led0->colour(), QColor(0x00FF00));
    QCOMPARE(w.Led2->colour(), QColor(0xFFFF00));
    QCOMPARE(w.UltSer->text(), QStringLiteral("(128)"));
    QCOMPARE(w.UltPar->text(), QStringLiteral("(10)"));
    QCOMPARE(w.IntSer->shownLines(), 301);
    QCOMPARE(w.IntSer->lineText(299), QString(QChar('A' + 299 % 26)));
    QCOMPARE(w.IntSer->lineText(300), QStringLiteral("(128)"));
    QCOMPARE(w.IntPar->shownLines(), 300);
    QCOMPARE(w.IntPar->lineText(299), QString(QChar('a' + 299 % 26)) + "(10)");
    QVERIFY(w.IntSer->followsEnd() && w.IntPar->followsEnd());

    // A status text put in after the last write is what stays shown.
    rig.display.showStatusText(2, "Conectado");
    QTRY_COMPARE(w.VDisplay2->text(), QStringLiteral("Conectado"));
}

void TstMainWindow::operatorBoxesReachTerminal()
{
    Rig rig(m_folder->path());
    rig.state.protocolKind = TerminalState::kZorvane;
    QTest::mouseClick(rig.window->Busy, Qt::LeftButton);
    QVERIFY(rig.state.busy);
    rig.interpreter.InterpretHostData(zorvane('P', 'A'));
    QCOMPARE(rig.takeSent(), QByteArray("\x02\x1b\x80P\x03"));

    QTest::mouseClick(rig.window->Cts, Qt::LeftButton);
    QVERIFY(rig.state.cts);
    rig.interpreter.InterpretHostData("\x02T\x03");
    QCOMPARE(rig.takeSent(), QByteArray("\x02\x1b\xa8T\x03"));
}

void TstMainWindow::inputBoxesReportState()
{
    Rig rig(m_folder->path());
    QTest::mouseClick(rig.window->CheckBox2, Qt::LeftButton);
    QCOMPARE(rig.sender.sends, (QList<QByteArray>{"@", "2"}));
    rig.sender.sends.clear();
    QTest::mouseClick(rig.window->CheckBox4, Qt::LeftButton);
    QTest::mouseClick(rig.window->CheckBox2, Qt::LeftButton);
    QCOMPARE(rig.sender.sends, (QList<QByteArray>{"@", ":", "@", "8"}));
}

void TstMainWindow::codeListLoadedAndEditedListIsSent()
{
    Rig rig(m_folder->path(), QByteArray("111\r\n222\r333\n"));
    QCOMPARE(rig.window->mmCodigo->toPlainText(), QStringLiteral("111\n222\n333"));
    rig.window->rgTerminador->setItemIndex(BarcodeReader::kNenhum);
    rig.window->btCodigoBarras->setEnabled(true);
    QTest::mouseClick(rig.window->btCodigoBarras, Qt::LeftButton);
    QCOMPARE(rig.takeSent(), QByteArray("111"));

    // What the operator types is what the next press sends, Windows-1252 included.
    rig.window->mmCodigo->setPlainText(QString::fromUtf8("AÇ\u00a0\nB"));
    rig.window->rgTerminador->setItemIndex(BarcodeReader::kCrLf);
    QTest::mouseClick(rig.window->btCodigoBarras, Qt::LeftButton);
    QCOMPARE(rig.takeSent(), QByteArray("B\r\n"));
    QTest::mouseClick(rig.window->btCodigoBarras, Qt::LeftButton);
    QCOMPARE(rig.takeSent(), QByteArray("A\xc7\xa0\r\n"));
}

void TstMainWindow::editorSavesSettings()
{
    Rig rig(m_folder->path());
    TForm1 &w = *rig.window;
    w.show();
    QCOMPARE(w.width(), 600);
    QVERIFY(!w.mmCodigo->isVisible());
    QVERIFY(!w.lbCancela->isVisible());
    QCOMPARE(w.lbCodigo->cursor().shape(), Qt::PointingHandCursor);

    QTest::mouseClick(w.lbCodigo, Qt::LeftButton);
    QCOMPARE(w.width(), 780);
    QCOMPARE(w.lbCodigo->text(), QStringLiteral("Salvar"));
    for (QWidget *editor : {static_cast<QWidget *>(w.mmCodigo), static_cast<QWidget *>(w.rgTerminador),
                            static_cast<QWidget *>(w.edDelai), static_cast<QWidget *>(w.Label7),
                            static_cast<QWidget *>(w.lbCancela)})
        QVERIFY(editor->isVisible());

    QAbstractButton *lf = w.rgTerminador->item(BarcodeReader::kLf);
    QTest::mouseClick(lf, Qt::LeftButton, {}, QPoint(8, lf->height() / 2));
    w.edDelai->clear();
    QTest::keyClicks(w.edDelai, "2500");
    QCOMPARE(w.edDelai->text(), QStringLiteral("250"));
    w.edDelai->setText("25");
    w.mmCodigo->setPlainText("9\n8");
    QTest::mouseClick(w.lbCodigo, Qt::LeftButton);

    QCOMPARE(w.width(), 600);
    QCOMPARE(w.lbCodigo->text(), QStringLiteral("Editar Código"));
    QVERIFY(!w.mmCodigo->isVisible());
    QCOMPARE(rig.config.readCofigLeitor(), 2);
    QCOMPARE(rig.config.readDelai(), 25);
    QCOMPARE(rig.state.barcodeCharDelay, 25);
    QFile codes(m_folder->filePath("Codigo.txt"));
    QVERIFY(codes.open(QIODevice::ReadOnly));
    QCOMPARE(codes.readAll(), QByteArray("9\r\n8\r\n"));
    QVERIFY(rig.prompts.messages.isEmpty());

    // "Cancela" stores nothing and keeps the delay.
    QTest::mouseClick(w.lbCodigo, Qt::LeftButton);
    w.rgTerminador->setItemIndex(BarcodeReader::kNenhum);
    w.edDelai->setText("7");
    QTest::mouseClick(w.lbCancela, Qt::LeftButton);
    QCOMPARE(w.width(), 600);
    QCOMPARE(w.lbCodigo->text(), QStringLiteral("Editar Código"));
    QCOMPARE(rig.config.readCofigLeitor(), 2);
    QCOMPARE(rig.state.barcodeCharDelay, 25);
    QCOMPARE(rig.barcode.terminatorIndex(), BarcodeReader::kNenhum);
}

void TstMainWindow::editorReportsBadDelay()
{
    Rig rig(m_folder->path());
    TForm1 &w = *rig.window;
    rig.state.barcodeCharDelay = 10;
    QTest::mouseClick(w.lbCodigo, Qt::LeftButton);
    w.edDelai->setText("x1");
    QTest::mouseClick(w.lbCodigo, Qt::LeftButton);
    QCOMPARE(rig.prompts.texts(), QStringList{"'x1' is not a valid integer value."});
    QCOMPARE(rig.state.barcodeCharDelay, 10);

    // An unwritable code list: reported, nothing else stored, the window already narrowed.
    QVERIFY(QFile::remove(m_folder->filePath("Codigo.txt")));
    QVERIFY(QDir(m_folder->path()).mkdir("Codigo.txt"));
    QTest::mouseClick(w.lbCodigo, Qt::LeftButton);
    w.edDelai->setText("30");
    QTest::mouseClick(w.lbCodigo, Qt::LeftButton);
    QCOMPARE(rig.prompts.messages.size(), 2);
    QCOMPARE(rig.prompts.messages.last().caption, QStringLiteral("Ethernet"));
    QCOMPARE(w.lbCodigo->text(), QStringLiteral("Editar Código"));
    QFile config(m_folder->filePath("Config.ini"));
    QVERIFY(config.open(QIODevice::ReadOnly));
    QVERIFY(config.readAll().contains("Delai=x1"));
    QCOMPARE(rig.state.barcodeCharDelay, 10);
}

void TstMainWindow::scaleBoxShowsReadings()
{
    Rig rig(m_folder->path(), {}, QByteArray("<2>1<3>\r\n<123>\nA\r"));
    TForm1 &w = *rig.window;
    w.show();
    QCOMPARE(w.Balanca->text(), QString::fromUtf8("Balança"));
    QCOMPARE(w.cbProtocoloBalanca->count(), 3);
    QVERIFY(!w.cbProtocoloBalanca->isVisible());

    QTest::mouseClick(w.Balanca, Qt::LeftButton);
    QVERIFY(w.cbProtocoloBalanca->isVisible());
    QCOMPARE(w.cbProtocoloBalanca->itemText(1), QStringLiteral("Erro: <..>"));
    QCOMPARE(w.cbProtocoloBalanca->currentIndex(), 0);

    // An ENQ to the serial interface answers and moves the list's selection on.
    rig.state.protocolKind = TerminalState::kZorvane;
    rig.interpreter.InterpretHostData(zorvane('S', '\x05'));
    QCOMPARE(w.cbProtocoloBalanca->currentIndex(), 1);
    QVERIFY(rig.takeSent().endsWith("\x02"
                                    "1\x03"));

    QTest::mouseClick(w.Balanca, Qt::LeftButton);
    QVERIFY(!w.cbProtocoloBalanca->isVisible());
}

void TstMainWindow::serialMenuAndPortaCom()
{
    Rig rig(m_folder->path());
    TForm1 &w = *rig.window;
    QVERIFY(!w.cbPortaCOM->isEnabled());
    QVERIFY(!w.cbPortaCOM->isChecked());
    w.enablePortaCom();
    QVERIFY(w.cbPortaCOM->isEnabled());

    // Without "Config.ini" the port stays closed quietly and the mark follows the bridge.
    w.ckHabilita_Serial->trigger();
    QVERIFY(rig.state.serialRelayEnabled);
    QVERIFY(w.ckHabilita_Serial->isChecked());

    // Ticking "Porta COM" runs "Habilitado", which switches it off again.
    QTest::mouseClick(w.cbPortaCOM, Qt::LeftButton);
    QVERIFY(rig.state.comPortBoxTicked);
    QVERIFY(!rig.state.serialRelayEnabled);
    QVERIFY(!w.ckHabilita_Serial->isChecked());

    // "Inicialização Automática" only asks; the mark is what the command sets.
    QSignalSpy toggled(&w, &TForm1::autoStartToggled);
    w.InicializaoAutomtica1->trigger();
    QCOMPARE(toggled.size(), 1);
    QVERIFY(!w.InicializaoAutomtica1->isChecked());
    w.setAutoStartChecked(true);
    QVERIFY(w.InicializaoAutomtica1->isChecked());
}

void TstMainWindow::closingHidesAndAnnounces()
{
    Rig rig(m_folder->path());
    TForm1 &w = *rig.window;
    QPointer<TForm1> alive(&w);
    QSignalSpy closing(&w, &TForm1::closing);
    w.show();
    QVERIFY(w.close());
    QCOMPARE(closing.size(), 1);
    QVERIFY(!w.isVisible());
    QCoreApplication::processEvents();
    QVERIFY(alive);

    rig.view.setStatusPanels("Porta: 1001", "IP Remoto: 127.0.0.1");
    rig.view.setConnectionButtonsEnabled(true);
    QVERIFY(w.btRest->isEnabled() && w.BtCarrega->isEnabled() && w.btCodigoBarras->isEnabled());
    QSignalSpy reset(&w, &TForm1::resetRequested);
    QTest::mouseClick(w.btRest, Qt::LeftButton);
    QCOMPARE(reset.size(), 1);
}

void TstMainWindow::screenshot()
{
    Rig rig(m_folder->path());
    TForm1 &w = *rig.window;
    rig.view.setStatusPanels("Porta: 1001", "IP Remoto: 127.0.0.1");
    rig.display.WriteText("Conectado ao host, aguardando comandos.. linha 2");
    rig.state.protocolKind = TerminalState::kZorvane;
    rig.interpreter.InterpretHostData(zorvane('G', 0x05) + zorvane('P', 'A') + zorvane('P', '\n') +
                                      zorvane('S', 'O') + zorvane('S', 'K'));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCoreApplication::processEvents();
    QVERIFY(w.grab().save(QDir::current().filePath("main_window.png")));
    QTest::mouseClick(w.lbCodigo, Qt::LeftButton);
    QCoreApplication::processEvents();
    QVERIFY(w.grab().save(QDir::current().filePath("main_window_editor.png")));
    for (QMenu *menu : {w.findChild<QMenu *>("Configurao1"), w.findChild<QMenu *>("InterfaceSeral1")}) {
        menu->popup(w.mapToGlobal(QPoint(0, 0)));
        QVERIFY(QTest::qWaitForWindowExposed(menu));
        QVERIFY(menu->grab().save(QDir::current().filePath("main_window_" + menu->objectName() + ".png")));
        menu->hide();
    }
}

QTEST_MAIN(TstMainWindow)
#include "tst_main_window.moc"
