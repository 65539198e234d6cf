#include "common/recorders.h"
#include "engine/display_model.h"
#include "engine/main_view_state.h"
#include "engine/outputs.h"
#include "engine/terminal_state.h"
#include "inputs/scale.h"
#include "link/connection_manager.h"
#include "shell/config_file.h"
#include "shell/main_commands.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

// The main window's commands against a real connection manager and a host on loopback.
class TestMainCommands : public QObject {
    Q_OBJECT

    struct Rig {
        QTemporaryDir folder;
        RecordingPrompts prompts;
        TerminalState state;
        DisplayModel display;
        MainViewState view;
        Outputs outputs{state};
        RecordingSender sender;
        Scale scale{state, sender};
        ConnectionManager connections{state, display, view, prompts};
        ConfigFile config{folder.filePath(QStringLiteral("Config.ini")), prompts};
        OperationStack operations{prompts};
        MainCommands commands{state, display, view, outputs, scale, connections, config, prompts, operations};
        QTcpServer host;
        QByteArrayList shown; // every text the first display field took

        Rig()
        {
            connections.setRefusedRetryDelay(50);
            connect(&display, &DisplayModel::viewChanged, &display,
                    [this] { if (shown.isEmpty() || shown.last() != display.view1()) shown.append(display.view1()); });
            host.listen(QHostAddress::LocalHost, 0);
        }
        void asClient()
        {
            state.connectionRole = TerminalState::kClient;
            connections.setClientAddress(QStringLiteral("127.0.0.1"));
            connections.setClientPort(host.serverPort());
        }
        // "Reset Terminal", to the end of its steps.
        bool reset()
        {
            bool over = false;
            commands.btRestClick([&over](OperationStack::Outcome) { over = true; });
            return QTest::qWaitFor([&over] { return over; }, 5000);
        }
        QTcpSocket *nextHostConnection()
        {
            if (!host.hasPendingConnections() && !host.waitForNewConnection(5000))
                return nullptr;
            return host.nextPendingConnection();
        }
    };

private slots:
    void resetInClientRoleWithoutSocketConnectsAtOnce()
    {
        Rig rig;
        rig.asClient();
        rig.state.functionKeyMode = true;
        rig.view.setConnectionButtonsEnabled(true);

        QVERIFY(rig.reset());

        QVERIFY(rig.shown.contains("Finalizando...."));
        QVERIFY(!rig.shown.contains("Conectando...."));
        QVERIFY(!rig.state.functionKeyMode);
        QVERIFY(!rig.view.connectionButtonsEnabled());
        QVERIFY(rig.nextHostConnection());
        QTRY_VERIFY(rig.view.connectionButtonsEnabled());
        QCOMPARE(rig.display.view2(), QByteArray("Conectado"));
        QVERIFY(rig.prompts.messages.isEmpty());
    }

    void resetInClientRoleWithSocketClosesWaitsAndReconnects()
    {
        Rig rig;
        rig.asClient();
        rig.connections.OpenConnection();
        std::unique_ptr<QTcpSocket> first(rig.nextHostConnection());
        QVERIFY(first);
        QTRY_COMPARE(rig.display.view2(), QByteArray("Conectado"));

        QElapsedTimer elapsed;
        elapsed.start();
        QVERIFY(rig.reset());
        // Two waits of four 100 ms ticks each.
        QVERIFY(elapsed.elapsed() >= 700);

        const QByteArrayList expected{"Finalizando....", "", "Conectando...."};
        QCOMPARE(rig.shown.mid(rig.shown.indexOf("Finalizando...."), 3), expected);
        QTRY_COMPARE(first->state(), QAbstractSocket::UnconnectedState);
        std::unique_ptr<QTcpSocket> second(rig.nextHostConnection());
        QVERIFY(second);
        // "Conectando...." stays in the field while the line itself is blank.
        QCOMPARE(rig.display.view1(), QByteArray("Conectando...."));
        QCOMPARE(rig.display.DisplayLine1(), QByteArray(40, ' '));
    }

    void resetInServerRoleListensAgain()
    {
        Rig rig;
        const quint16 port = rig.host.serverPort();
        rig.host.close(); // the port is free again for the emulator
        rig.state.connectionRole = TerminalState::kServer;
        rig.connections.setServerPort(port);
        rig.connections.OpenConnection();
        QTcpSocket before;
        before.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(before.waitForConnected(5000));
        QTRY_COMPARE(rig.connections.hostConnectionCount(), 1);

        QVERIFY(rig.reset());

        QVERIFY(rig.shown.contains("Conectando...."));
        QTRY_COMPARE(before.state(), QAbstractSocket::UnconnectedState);
        QVERIFY(rig.connections.isServerActive());
        QTcpSocket after;
        after.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(after.waitForConnected(5000));
        QTRY_COMPARE(rig.display.view2(), QByteArray("Conectado"));
    }

    // A wait started while another waits restarts the shared count; the newer
    // ends first and the older resumes right after it, with the same count.
    void nestedWaitsEndTogether()
    {
        Rig rig;
        QList<std::pair<QString, int>> ended;
        const auto note = [&](const QString &who) {
            return [&ended, &rig, who](OperationStack::Outcome) { ended.append({who, rig.commands.tickCount()}); };
        };
        rig.operations.run(rig.commands.WaitTicks(MainCommands::kResetTicks), note("older"));
        QTimer::singleShot(150, &rig.commands, [&] {
            rig.operations.run(rig.commands.WaitTicks(MainCommands::kResetTicks), note("newer"));
        });
        QTRY_COMPARE(ended.size(), 2);
        const QList<std::pair<QString, int>> expected{{"newer", MainCommands::kResetTicks},
                                                      {"older", MainCommands::kResetTicks}};
        QCOMPARE(ended, expected);
    }
};

QTEST_GUILESS_MAIN(TestMainCommands)
#include "tst_main_commands.moc"
