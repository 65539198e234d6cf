#include "tst_startup_rig.h"

#include <QAction>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>

#include "inputs/scale.h"

// Start-up, automatic start and the ways out of the main window, on a whole emulator.
class TestStartup : public QObject {
    Q_OBJECT

private slots:
    void firstRunInAnEmptyFolder()
    {
        EmulatorRig rig;
        QVERIFY(!QFile::exists(rig.configPath()));
        rig.start();

        QVERIFY(QFile::exists(rig.configPath()));
        QVERIFY(rig.form2().isVisible());
        QVERIFY(!rig.form1().isVisible());
        QVERIFY(!rig.app->splash().isVisible());
        QCOMPARE(rig.app->state().connectionRole, TerminalState::kClient);
        QCOMPARE(rig.app->connections().clientAddress(), QStringLiteral("127.0.0.1"));
        QCOMPARE(rig.app->connections().clientPort(), quint16(1001));
        QCOMPARE(rig.protocolo().rgProtocolo->itemIndex(), TerminalState::kVt100);
        QCOMPARE(rig.protocolo().lbConexao->text(), QStringLiteral("Conexão: Client"));
        QCOMPARE(rig.protocolo().lbPorta->text(), QStringLiteral("Porta: 1001"));
        QCOMPARE(rig.protocolo().lbIP->text(), QStringLiteral("IP: 127.0.0.1"));
        QCOMPARE(rig.form1().rgTerminador->itemIndex(), 1);
        QCOMPARE(rig.form1().rgTerminador->item(1)->text(), QStringLiteral("CR"));
        QCOMPARE(rig.form1().edDelai->text(), QStringLiteral("10"));
        QVERIFY(!rig.form1().InicializaoAutomtica1->isChecked());
        QCOMPARE(rig.form1().sbPanel0->text(), QStringLiteral("Porta: 1001"));
        QCOMPARE(rig.form1().sbPanel1->text(), QStringLiteral("IP Remoto: 127.0.0.1"));
        QCOMPARE(rig.lookups, 0);
        QVERIFY(rig.prompts.messages.isEmpty());
    }

    // Automatic start in the Server role with the stored protocol: the host connects,
    // sees "Conectado" and gets its "P" command answered.
    void automaticStartServesTheHost()
    {
        EmulatorRig rig;
        const quint16 port = rig.hostPort();
        rig.host.close();
        rig.writeConfig("[Config]\nPorta=" + QByteArray::number(port)
                        + "\nEndereco=127.0.0.1\nProtocolo=1\nConexao=0\nInicializacao=1\n");
        rig.start();

        QVERIFY(rig.form1().isVisible());
        QVERIFY(!rig.form2().isVisible());
        QVERIFY(rig.form1().InicializaoAutomtica1->isChecked());
        QCOMPARE(rig.form1().sbPanel0->text(), QStringLiteral("Porta: %1").arg(port));
        QCOMPARE(rig.form1().sbPanel1->text(), QString());
        QTcpSocket hostSide;
        hostSide.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(hostSide.waitForConnected(5000));
        QTRY_COMPARE(rig.app->display().view2(), QByteArray("Conectado"));
        QTRY_VERIFY(rig.form1().btRest->isEnabled());

        hostSide.write("\x02Px\x03");
        QByteArray answer;
        QTRY_VERIFY((answer += hostSide.readAll()).size() >= 5);
        QCOMPARE(answer, QByteArray("\x02\x1b\x01P\x03"));
        QVERIFY(rig.prompts.messages.isEmpty());
    }

    // Automatic start is honoured for a loopback address without any lookup, or
    // for this machine's whole address text; a file from another machine opens
    // the chooser, unchecks the item and leaves the file as it was.
    void automaticStartGate_data()
    {
        QTest::addColumn<QByteArray>("address");
        QTest::addColumn<QString>("localText");
        QTest::addColumn<bool>("honoured");
        QTest::addColumn<int>("lookups");
        QTest::newRow("loopback") << QByteArray("127.0.0.1") << "10.0.0.5" << true << 0;
        QTest::newRow("this machine") << QByteArray("10.0.0.5/ 10.0.0.6") << "10.0.0.5/ 10.0.0.6" << true << 1;
        QTest::newRow("another machine") << QByteArray("10.0.0.5") << "10.0.0.9" << false << 1;
        QTest::newRow("failed lookup") << QByteArray("10.0.0.5") << "" << false << 1;
    }

    void automaticStartGate()
    {
        QFETCH(QByteArray, address);
        QFETCH(QString, localText);
        QFETCH(bool, honoured);
        QFETCH(int, lookups);
        EmulatorRig rig;
        rig.localAddress = localText;
        // Nothing listens at 10.0.0.5 port 1; the attempt stays pending for the test's life.
        const QByteArray text = "[config]\nPORTA=1\nEndereco=" + address + "\ninicializacao=1\n";
        rig.writeConfig(text);
        rig.start();

        QCOMPARE(rig.lookups, lookups);
        QCOMPARE(rig.form1().isVisible(), honoured);
        QCOMPARE(rig.form2().isVisible(), !honoured);
        QCOMPARE(rig.form1().InicializaoAutomtica1->isChecked(), honoured);
        if (!honoured)
            QCOMPARE(rig.configText(), text);
    }

    // Stored values beyond the range of their controls: a role other than
    // Server is set up like a Client, indexes above the items pick the last
    // one and indexes below 0 pick none.
    void storedValuesOutsideTheirControls_data()
    {
        QTest::addColumn<QByteArray>("values");
        QTest::addColumn<int>("role");
        QTest::addColumn<int>("protocol");
        QTest::addColumn<int>("terminator");
        QTest::addColumn<QByteArray>("storedAtOk"); // no protocol becomes Zorvane on activation
        QTest::newRow("above") << QByteArray("Conexao=2\nProtocolo=7\n[CodigoBarras]\nCofig_Leitor=9\n") << 2
                               << int(TerminalState::kTelnet) << 3 << QByteArray("2");
        QTest::newRow("below") << QByteArray("Conexao=-1\nProtocolo=-3\n[CodigoBarras]\nCofig_Leitor=-2\n") << -1
                               << -1 << -1 << QByteArray("1");
    }

    void storedValuesOutsideTheirControls()
    {
        QFETCH(QByteArray, values);
        QFETCH(int, role);
        QFETCH(int, protocol);
        QFETCH(int, terminator);
        QFETCH(QByteArray, storedAtOk);
        EmulatorRig rig;
        rig.writeConfig("[Config]\nPorta=" + QByteArray::number(rig.hostPort()) + "\n" + values);
        rig.start();
        const QString port = QString::number(rig.hostPort());

        QCOMPARE(rig.app->state().connectionRole, role);
        QCOMPARE(rig.app->connections().clientPort(), rig.hostPort());
        QCOMPARE(rig.protocolo().lbConexao->text(), QStringLiteral("Conexão: Client"));
        QCOMPARE(rig.protocolo().lbPorta->text(), QStringLiteral("Porta: ") + port);
        QCOMPARE(rig.protocolo().lbIP->text(), QStringLiteral("IP: 127.0.0.1"));
        QCOMPARE(rig.form1().sbPanel1->text(), QStringLiteral("IP Remoto: 127.0.0.1"));
        QCOMPARE(rig.protocolo().rgProtocolo->itemIndex(), protocol);
        QCOMPARE(rig.app->state().protocolKind, protocol);
        QCOMPARE(rig.protocolo().BtServer->isEnabled(), protocol != TerminalState::kTelnet);
        QCOMPARE(rig.form1().rgTerminador->itemIndex(), terminator);

        // The connection commands act on Server and Client only: OK opens nothing.
        rig.app->connections().setTelNetPort(0);
        QTest::mouseClick(rig.form2().BtTerminal, Qt::LeftButton);
        rig.protocolo().FormActivate();
        QVERIFY(!rig.protocolo().lbIP->isHidden());
        QTest::mouseClick(rig.protocolo().BtOK, Qt::LeftButton);
        QCOMPARE(rig.stored("Config", "Protocolo"), storedAtOk);
        QVERIFY(rig.form1().isVisible());
        QVERIFY(!rig.app->connections().isClientActive());
        QVERIFY(!rig.app->connections().isServerActive());
        QVERIFY(rig.prompts.messages.isEmpty());
    }

    void storedPortThatCannotBeUsed_data()
    {
        QTest::addColumn<QByteArray>("porta");
        QTest::addColumn<QString>("message");
        QTest::newRow("not a number") << QByteArray("10o1") << "'10o1' is not a valid integer value.";
        QTest::newRow("out of range") << QByteArray("70000") << "A porta '70000' não é válida: use um número de 1 a 65535.";
    }

    void storedPortThatCannotBeUsed()
    {
        QFETCH(QByteArray, porta);
        QFETCH(QString, message);
        EmulatorRig rig;
        rig.writeConfig("[Config]\nPorta=" + porta + "\nEndereco=127.0.0.2\n");
        rig.start();

        QCOMPARE(rig.prompts.texts(), QStringList{message});
        QCOMPARE(rig.prompts.messages.first().caption, QStringLiteral("Ethernet"));
        QVERIFY(rig.form2().isVisible());
        // The address was given before the port failed; the labels keep their design texts.
        QCOMPARE(rig.app->connections().clientAddress(), QStringLiteral("127.0.0.2"));
        QCOMPARE(rig.app->connections().clientPort(), quint16(0));
        QCOMPARE(rig.protocolo().lbPorta->text(), QStringLiteral("Porta:"));
    }

    void automaticStartWithoutProtocolStillShowsTheMainWindow()
    {
        EmulatorRig rig;
        rig.writeConfig("[Config]\nProtocolo=-1\nInicializacao=1\n");
        rig.start();
        QCOMPARE(rig.prompts.texts(), QStringList{QStringLiteral("Selecione o Protocolo de Comunicação!")});
        QVERIFY(rig.form1().isVisible());
        QVERIFY(!rig.app->connections().isClientActive());
    }

    void sairWithAutomaticStartEndsTheRun()
    {
        EmulatorRig rig;
        rig.writeConfig("[Config]\nPorta=" + QByteArray::number(rig.hostPort()) + "\nInicializacao=1\n");
        rig.start();
        auto hostSide = rig.nextHostConnection();
        QVERIFY(hostSide);

        QTest::mouseClick(rig.form1().BtSair, Qt::LeftButton);

        QCOMPARE(rig.prompts.terminateRequests, 1);
        QVERIFY(!rig.form2().isVisible());
        QTRY_COMPARE(hostSide->state(), QAbstractSocket::UnconnectedState);
    }

    // Every other way out of the main window drops the connection and returns
    // to the chooser, the close button even with automatic start on.
    void leavingTheMainWindowReturnsToTheChooser_data()
    {
        QTest::addColumn<QString>("exit");
        QTest::newRow("Sair") << "Sair";
        QTest::newRow("close button") << "close";
        QTest::newRow("Configurar Emulador") << "configurar";
    }

    void leavingTheMainWindowReturnsToTheChooser()
    {
        QFETCH(QString, exit);
        EmulatorRig rig;
        const bool autoStart = exit != QLatin1String("Sair");
        rig.writeConfig("[Config]\nPorta=" + QByteArray::number(rig.hostPort())
                        + (autoStart ? "\nInicializacao=1\n" : "\n"));
        rig.start();
        if (!autoStart) {
            QTest::mouseClick(rig.form2().BtTerminal, Qt::LeftButton);
            QTest::mouseClick(rig.protocolo().BtOK, Qt::LeftButton);
        }
        QVERIFY(rig.form1().isVisible());
        auto hostSide = rig.nextHostConnection();
        QVERIFY(hostSide);
        rig.app->state().functionKeyMode = true;
        rig.app->context().scale->setItems({QByteArray("<1>")});
        rig.app->context().scale->BalancaClick(true);

        if (exit == QLatin1String("close"))
            rig.form1().close();
        else if (exit == QLatin1String("configurar"))
            rig.form1().Equipamento1->trigger();
        else
            QTest::mouseClick(rig.form1().BtSair, Qt::LeftButton);

        QCOMPARE(rig.prompts.terminateRequests, 0);
        QVERIFY(!rig.form1().isVisible());
        QVERIFY(rig.form2().isVisible());
        QVERIFY(rig.app->state().mainWindowClosing);
        QVERIFY(!rig.app->state().functionKeyMode);
        QVERIFY(rig.app->context().scale->ScaleReadings().isEmpty());
        QTRY_COMPARE(hostSide->state(), QAbstractSocket::UnconnectedState);
        QVERIFY(!rig.app->connections().isClientActive());
    }

    void explorarTellsWhenNoFileManagerOpens()
    {
        EmulatorRig rig;
        rig.start();
        rig.form1().Diretrio1->trigger();
        QCOMPARE(rig.opened, QList<QUrl>{QUrl::fromLocalFile(rig.folder.path())});
        QVERIFY(rig.prompts.messages.isEmpty());

        rig.folderOpens = false;
        rig.form1().Diretrio1->trigger();
        QCOMPARE(rig.prompts.messages.size(), 1);
        QCOMPARE(rig.prompts.messages.first().icon, Prompts::Icon::Warning);
        QVERIFY(rig.prompts.messages.first().text.contains(rig.folder.path()));
    }
};

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
