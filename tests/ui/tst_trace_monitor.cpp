// "Monitor da Comunicação" on a whole emulator, offscreen: the "Arquivo" menu
// opens it, it shows what the terminal does with warnings marked, keeps only
// the newest records, pauses, clears and saves, and its trace ends with it.

#include "terminal/terminal.h"
#include "trace/trace_format.h"
#include "tst_startup_rig.h"
#include "ui/trace_monitor.h"

#include <QHeaderView>
#include <QMenu>
#include <QPushButton>
#include <QTableView>

class TstTraceMonitor : public QObject {
    Q_OBJECT

private slots:
    void theMenuOpensALiveMonitor()
    {
        EmulatorRig rig;
        rig.writeConfig("[Config]\r\nConexao=1\r\nEndereco=127.0.0.1\r\nPorta=" +
                        QByteArray::number(rig.hostPort()) + "\r\nProtocolo=1\r\nInicializacao=1\r\n");
        rig.start();
        TForm1 &form = rig.form1();
        QVERIFY(form.MonitorComunicacao1);
        QCOMPARE(form.MonitorComunicacao1->text(), QStringLiteral("Monitor da Comunicação"));
        QVERIFY(form.findChild<QMenu *>("Configurao1")->actions().contains(form.MonitorComunicacao1));
        form.MonitorComunicacao1->trigger();
        TraceMonitor *monitor = form.monitor();
        QVERIFY(monitor && monitor->isVisible() && monitor->isTracing());
        QCOMPARE(monitor->windowTitle(), QStringLiteral("Monitor da Comunicação"));

        auto host = rig.nextHostConnection();
        QVERIFY(host);
        QTRY_VERIFY(rig.app->terminal().connections().isHostConnected());
        host->write("\x02L\x03\x02" "C004\x03\x02" "DTOTAL\x03\x02G\x05\x03\x02PA\x03xy\x02X\x02L\x03");
        host->flush();
        QTRY_VERIFY(rig.app->terminal().display().DisplayLine1().contains("TOTAL"));
        QTRY_VERIFY(monitor->model().rowCount() >= 9);
        const auto &records = monitor->model().records();
        QStringList kinds;
        for (const TraceRecord &r : records)
            kinds.append(QString::fromLatin1(kindName(r.kind)));
        QCOMPARE(kinds.mid(kinds.indexOf(QStringLiteral("received")), 9),
                 (QStringList{"received", "command", "command", "command", "command", "command", "sent", "command",
                              "command"}));
        const int strayRow = int(kinds.lastIndexOf(QStringLiteral("command"))) - 1;
        const QModelIndex stray = monitor->model().index(strayRow, TraceRecordModel::Words);
        QVERIFY(stray.data().toString().startsWith(QStringLiteral("!! stray-bytes: ")));
        QVERIFY(stray.data(Qt::BackgroundRole).isValid());
        QCOMPARE(monitor->model().index(strayRow, TraceRecordModel::Direction).data().toString(), QStringLiteral("<-"));

        monitor->resize(1100, 330);
        QCoreApplication::processEvents();
        QVERIFY(monitor->grab().save(QDir::current().filePath("trace_monitor.png")));

        // Paused, the table stands still; the records wait and come on "Continuar".
        const int before = monitor->model().rowCount();
        QTest::mouseClick(monitor->pauseButton(), Qt::LeftButton);
        QCOMPARE(monitor->pauseButton()->text(), QStringLiteral("Continuar"));
        host->write("\x02" "DMORE\x03");
        host->flush();
        QTRY_VERIFY(rig.app->terminal().display().DisplayLine1().contains("MORE"));
        QTest::qWait(250);
        QCOMPARE(monitor->model().rowCount(), before);
        QTest::mouseClick(monitor->pauseButton(), Qt::LeftButton);
        QCOMPARE(monitor->model().rowCount(), before + 2);

        // Saved as text and as JSON lines, summary included.
        const QString text = rig.folder.filePath(QStringLiteral("monitor.txt"));
        const QString json = rig.folder.filePath(QStringLiteral("monitor.jsonl"));
        QString error;
        QVERIFY2(monitor->saveTo(text, &error), qPrintable(error));
        QVERIFY2(monitor->saveTo(json, &error), qPrintable(error));
        QFile textFile(text);
        QVERIFY(textFile.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = textFile.readAll().split('\n');
        QVERIFY(lines.first().startsWith("# ethernet trace"));
        QVERIFY(lines.at(lines.size() - 3).startsWith("# warning stray-bytes: 1"));
        QFile jsonFile(json);
        QVERIFY(jsonFile.open(QIODevice::ReadOnly));
        QVERIFY(jsonFile.readAll().contains("\"kind\":\"command\",\"dir\":\"in\""));
        QVERIFY(!monitor->saveTo(rig.folder.filePath(QStringLiteral("no/such/folder.txt")), &error));

        QTest::mouseClick(monitor->findChild<QPushButton *>("btLimpar"), Qt::LeftButton);
        QCOMPARE(monitor->model().rowCount(), 0);
        monitor->close();
        QVERIFY(!monitor->isTracing());
        QCOMPARE(rig.app->terminal().state().observer == nullptr, true);
    }

    void theTableKeepsTheNewestRecords()
    {
        TraceRecordModel model;
        std::vector<TraceRecord> batch(TraceRecordModel::kMaxRecords + 500);
        for (std::size_t i = 0; i < batch.size(); ++i)
            batch[i].number = qint64(i + 1);
        model.append(batch);
        QCOMPARE(model.rowCount(), TraceRecordModel::kMaxRecords);
        QCOMPARE(model.records().front().number, 501);
        std::vector<TraceRecord> more(3);
        more[2].number = 99999;
        model.append(more);
        QCOMPARE(model.rowCount(), TraceRecordModel::kMaxRecords);
        QCOMPARE(model.records().back().number, 99999);
        QCOMPARE(model.records().front().number, 504);
    }
};

QTEST_MAIN(TstTraceMonitor)
#include "tst_trace_monitor.moc"
