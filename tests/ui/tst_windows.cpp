#include "tst_startup_rig.h"

#include <QComboBox>
#include <QGroupBox>
#include <QPushButton>

// The settings window, the client dialog, the chooser and the serial settings
// dialog driven through their controls.
class TestWindows : public QObject {
    Q_OBJECT

    // First run, then "Terminal TCP-IP": the settings window is up and active.
    static void toSettingsWindow(EmulatorRig &rig, bool comutadora = false)
    {
        rig.start();
        QTest::mouseClick(comutadora ? rig.form2().BtComutadora : rig.form2().BtTerminal,
                          Qt::LeftButton);
        QVERIFY(rig.protocolo().isVisible());
        QVERIFY(!rig.form2().isVisible());
        rig.protocolo().FormActivate();
    }

private slots:
    // Captions, hints and the other windows are checked on the real screen by the end-to-end test.
    void chooserOuterSizeAndSplashPicture()
    {
        EmulatorRig rig;
        rig.start();
        QCOMPARE(rig.form2().frameGeometry().size(), QSize(274, 260)); // frame included
        QVERIFY(!rig.app->splash().picture().isNull());
    }

    // Cancelar gives back the protocol of the last activation; the role and
    // port chosen meanwhile were stored at once and stay.
    void cancelarRestoresTheProtocolButKeepsTheRole()
    {
        EmulatorRig rig;
        toSettingsWindow(rig);
        rig.prompts.inputAnswers = {QStringLiteral("2345")};
        QTest::mouseClick(rig.protocolo().BtServer, Qt::LeftButton);
        QCOMPARE(rig.prompts.inputCaptions, QStringList{QStringLiteral("Digite o endereço da porta remota:")});
        QCOMPARE(rig.prompts.inputPrompts, QStringList{QStringLiteral("Endereço")});
        QCOMPARE(rig.prompts.inputValues, QStringList{QStringLiteral("1001")});
        QCOMPARE(rig.protocolo().lbConexao->text(), QStringLiteral("Conexão: Server"));
        QCOMPARE(rig.protocolo().lbPorta->text(), QStringLiteral("Porta: 2345"));
        QVERIFY(rig.protocolo().lbIP->isHidden());

        QTest::mouseClick(rig.protocolo().rgProtocolo->item(TerminalState::kTelnet), Qt::LeftButton);
        QCOMPARE(rig.app->state().protocolKind, TerminalState::kTelnet);
        QVERIFY(!rig.protocolo().BtServer->isEnabled());
        QVERIFY(rig.protocolo().edTerminal->isVisibleTo(&rig.protocolo()));
        QCOMPARE(rig.app->state().connectionRole, TerminalState::kServer);

        QTest::mouseClick(rig.protocolo().BtCancelar, Qt::LeftButton);
        QCOMPARE(rig.app->state().protocolKind, TerminalState::kVt100);
        QCOMPARE(rig.protocolo().rgProtocolo->itemIndex(), TerminalState::kVt100);
        QVERIFY(rig.protocolo().BtServer->isEnabled());
        QVERIFY(!rig.protocolo().edTerminal->isVisibleTo(&rig.protocolo()));
        QVERIFY(rig.form2().isVisible());
        QCOMPARE(rig.app->state().connectionRole, TerminalState::kServer);
        QCOMPARE(rig.stored("Config", "Conexao"), QByteArray("0"));
        QCOMPARE(rig.stored("Config", "Porta"), QByteArray("2345"));
        QCOMPARE(rig.stored("Config", "Protocolo"), QByteArray("0"));
        QCOMPARE(rig.app->connections().serverPort(), quint16(2345));
    }

    void serverPortPromptRefusesWhatIsNotAPort_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("message");
        QTest::newRow("letters") << "abc" << "'abc' is not a valid integer value.";
        QTest::newRow("zero") << "0" << "A porta '0' não é válida: use um número de 1 a 65535.";
        QTest::newRow("too big") << "65536" << "A porta '65536' não é válida: use um número de 1 a 65535.";
    }

    void serverPortPromptRefusesWhatIsNotAPort()
    {
        QFETCH(QString, typed);
        QFETCH(QString, message);
        EmulatorRig rig;
        toSettingsWindow(rig);
        rig.prompts.inputAnswers = {typed};
        QTest::mouseClick(rig.protocolo().BtServer, Qt::LeftButton);
        QCOMPARE(rig.prompts.texts(), QStringList{message});
        // The role was stored before the port was looked at.
        QCOMPARE(rig.stored("Config", "Conexao"), QByteArray("0"));
        QCOMPARE(rig.stored("Config", "Porta"), QByteArray("1001"));
        QCOMPARE(rig.protocolo().lbPorta->text(), QStringLiteral("Porta: 1001"));
        QCOMPARE(rig.app->connections().serverPort(), ConnectionManager::kDefaultServerPort);
    }

    void comutadoraFixesZorvaneAndStoresIt()
    {
        EmulatorRig rig;
        rig.writeConfig("[Config]\nPorta=" + QByteArray::number(rig.hostPort()) + "\nProtocolo=2\n");
        toSettingsWindow(rig, true);
        QVERIFY(rig.app->state().comutadoraMode);
        QVERIFY(!rig.protocolo().rgProtocolo->isEnabled());
        QCOMPARE(rig.protocolo().rgProtocolo->itemIndex(), TerminalState::kZorvane);
        QVERIFY(rig.protocolo().BtServer->isEnabled());

        QTest::mouseClick(rig.protocolo().BtOK, Qt::LeftButton);
        QCOMPARE(rig.stored("Config", "Protocolo"), QByteArray("1"));
        QVERIFY(rig.form1().isVisible());
        auto hostSide = rig.nextHostConnection();
        QVERIFY(hostSide);

        // Back through the chooser as a terminal: the mode goes, Zorvane stays chosen.
        rig.form1().Equipamento1->trigger();
        QTest::mouseClick(rig.form2().BtTerminal, Qt::LeftButton);
        rig.protocolo().FormActivate();
        QVERIFY(!rig.app->state().comutadoraMode);
        QVERIFY(rig.protocolo().rgProtocolo->isEnabled());
        QCOMPARE(rig.protocolo().rgProtocolo->itemIndex(), TerminalState::kZorvane);
    }

    // Return is OK and Escape is Cancelar in both fields; only changed values are stored.
    void clientDialogKeysAndStores()
    {
        EmulatorRig rig;
        toSettingsWindow(rig);
        QTest::mouseClick(rig.protocolo().BtClient, Qt::LeftButton);
        TFrmClient &dialog = rig.client();
        QVERIFY(dialog.isVisible());
        dialog.FormActivate();
        QCOMPARE(dialog.VIp->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(dialog.VPorta->text(), QStringLiteral("1001"));

        const QByteArray before = rig.configText();
        QTest::keyClick(dialog.VIp, Qt::Key_Return);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(rig.configText(), before);
        QCOMPARE(rig.protocolo().lbIP->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(rig.protocolo().lbPorta->text(), QStringLiteral("1001"));
        QCOMPARE(rig.protocolo().lbConexao->text(), QStringLiteral("Client"));

        dialog.show();
        dialog.FormActivate();
        dialog.VIp->setText(QStringLiteral("127.0.0.9"));
        QTest::keyClick(dialog.VPorta, Qt::Key_Escape);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(rig.configText(), before);

        dialog.show();
        dialog.FormActivate();
        QCOMPARE(dialog.VIp->text(), QStringLiteral("127.0.0.1"));
        dialog.VIp->setText(QStringLiteral("127.0.0.9"));
        dialog.VPorta->setText(QStringLiteral("2002"));
        QTest::keyClick(dialog.VPorta, Qt::Key_Enter);
        QCOMPARE(rig.stored("Config", "Endereco"), QByteArray("127.0.0.9"));
        QCOMPARE(rig.stored("Config", "Porta"), QByteArray("2002"));
        QCOMPARE(rig.app->connections().clientAddress(), QStringLiteral("127.0.0.9"));
        QCOMPARE(rig.app->connections().clientPort(), quint16(2002));
        QCOMPARE(rig.app->storedLink().port, QStringLiteral("2002"));
        QCOMPARE(rig.protocolo().lbIP->text(), QStringLiteral("127.0.0.9"));
        QVERIFY(rig.prompts.messages.isEmpty());
    }

    void clientDialogPortThatIsNotANumber()
    {
        EmulatorRig rig;
        toSettingsWindow(rig);
        QTest::mouseClick(rig.protocolo().BtClient, Qt::LeftButton);
        TFrmClient &dialog = rig.client();
        dialog.FormActivate();
        const QByteArray before = rig.configText();
        dialog.VIp->setText(QStringLiteral("127.0.0.5"));
        dialog.VPorta->setText(QStringLiteral("1o01"));
        QTest::mouseClick(dialog.BtOK, Qt::LeftButton);

        QCOMPARE(rig.prompts.texts(), QStringList{QStringLiteral("'1o01' is not a valid integer value.")});
        QCOMPARE(rig.app->connections().clientAddress(), QStringLiteral("127.0.0.5"));
        QCOMPARE(rig.configText(), before);
        QCOMPARE(rig.protocolo().lbPorta->text(), QStringLiteral("Porta: 1001"));
        QVERIFY(dialog.isVisible());
    }

    void okWithAnAddressThatIsNotIPv4IsReported()
    {
        EmulatorRig rig;
        rig.writeConfig("[Config]\nEndereco=host.example\n");
        toSettingsWindow(rig);
        QTest::mouseClick(rig.protocolo().BtOK, Qt::LeftButton);
        QCOMPARE(rig.prompts.messages.size(), 1);
        QVERIFY(rig.prompts.messages.first().text.contains(QStringLiteral("host.example")));
        QVERIFY(!rig.form1().isVisible());
        QVERIFY(rig.protocolo().isVisible());
    }

    void serialDialogReloadsOnActivation()
    {
        EmulatorRig rig;
        rig.writeConfig("[Serial]\nPorta=7\nBaud_Rate=19200\nParidade=5\nNBits=1\nStop_Bit=3\n");
        rig.start();
        TfrmSerial &dialog = rig.app->frmSerial();
        dialog.FormActivate();
        QCOMPARE(dialog.edPortaCom->text(), QStringLiteral("7"));
        QCOMPARE(dialog.cbBaud->currentText(), QStringLiteral("19200"));
        QCOMPARE(dialog.rgParidade->itemIndex(), 0);
        QCOMPARE(dialog.cbNBits->currentText(), QStringLiteral("7"));
        QCOMPARE(dialog.cbStopBit->currentText(), QStringLiteral("1"));

        // Typed characters are dropped; the arrow keys still pick from the list.
        dialog.cbBaud->setCurrentIndex(0);
        QTest::keyClicks(dialog.cbBaud->lineEdit(), QStringLiteral("12"));
        QTest::keyClick(dialog.cbBaud->lineEdit(), Qt::Key_Backspace);
        QCOMPARE(dialog.cbBaud->currentText(), QStringLiteral("9600"));
        QTest::keyClick(dialog.cbBaud, Qt::Key_Down);
        QCOMPARE(dialog.cbBaud->currentText(), QStringLiteral("4800"));

        dialog.edPortaCom->setText(QStringLiteral("123"));
        QCOMPARE(dialog.edPortaCom->text(), QStringLiteral("12"));
        QTest::mouseClick(dialog.rgParidade->item(2), Qt::LeftButton);
        dialog.open();
        QTest::mouseClick(dialog.btOk, Qt::LeftButton);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(rig.stored("Serial", "Porta"), QByteArray("12"));
        QCOMPARE(rig.stored("Serial", "Baud_Rate"), QByteArray("4800"));
        QCOMPARE(rig.stored("Serial", "Paridade"), QByteArray("2"));
        QCOMPARE(rig.stored("Serial", "NBits"), QByteArray("1"));
        QCOMPARE(rig.stored("Serial", "Stop_Bit"), QByteArray("0"));

        // Unconfirmed edits are lost at the next activation.
        dialog.edPortaCom->setText(QStringLiteral("3"));
        dialog.FormActivate();
        QCOMPARE(dialog.edPortaCom->text(), QStringLiteral("12"));
    }

    // The length limits of edDelai and edPortaCom are for typing; stored values
    // longer than that are shown whole, so that saving does not cut them down.
    void storedNumbersLongerThanTheirFieldsAreShownWhole()
    {
        EmulatorRig rig;
        rig.writeConfig("[CodigoBarras]\nDelai=1500\n[Serial]\nPorta=123\n");
        rig.start();
        QCOMPARE(rig.app->state().barcodeCharDelay, 1500);
        QCOMPARE(rig.form1().edDelai->text(), QStringLiteral("1500"));
        TfrmSerial &dialog = rig.app->frmSerial();
        dialog.FormActivate();
        QCOMPARE(dialog.edPortaCom->text(), QStringLiteral("123"));
        dialog.open();
        QTest::mouseClick(dialog.btOk, Qt::LeftButton);
        QCOMPARE(rig.stored("Serial", "Porta"), QByteArray("123"));
    }

    void serialDialogStoresOnlyIntoAnExistingFile()
    {
        EmulatorRig rig;
        TfrmSerial dialog(rig.configPath(), rig.prompts);
        dialog.FormActivate();
        QCOMPARE(dialog.edPortaCom->text(), QStringLiteral("5"));
        dialog.open();
        QTest::mouseClick(dialog.btOk, Qt::LeftButton);
        QVERIFY(!dialog.isVisible());
        QVERIFY(!QFile::exists(rig.configPath()));
    }

    void serialDialogWriteFailureKeepsItOpen()
    {
        EmulatorRig rig;
        // The store refuses to rewrite a file larger than it loads.
        rig.writeConfig("[Serial]\nPorta=3\n" + QByteArray(IniStore::kMaxFileSize, ';'));
        TfrmSerial dialog(rig.configPath(), rig.prompts);
        dialog.open();
        QTest::mouseClick(dialog.btOk, Qt::LeftButton);
        QVERIFY(dialog.isVisible());
        QCOMPARE(rig.prompts.messages.size(), 1);
        QCOMPARE(rig.prompts.messages.first().caption, QStringLiteral("Ethernet"));
        QCOMPARE(rig.prompts.messages.first().icon, Prompts::Icon::Error);
        QCOMPARE(rig.prompts.messages.first().text,
                 QStringLiteral("Unable to write to %1.").arg(rig.configPath()));
    }
};

QTEST_MAIN(TestWindows)
#include "tst_windows.moc"
