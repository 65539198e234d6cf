#include "link/connection_manager.h"

#include "common/recorders.h"
#include "engine/display_model.h"
#include "engine/errors.h"
#include "engine/main_view_state.h"
#include "engine/terminal_state.h"

#include <QEventLoop>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace
{

// Message boxes that stay open, like the real ones, in a nested event loop
// until whileOpen (run inside that loop) has done its work.
class ModalPrompts : public RecordingPrompts
{
public:
    void showMessage(const QString &caption, const QString &text, Icon icon) override
    {
        RecordingPrompts::showMessage(caption, text, icon);
        ++open;
        maxOpen = std::max(maxOpen, open);
        QEventLoop loop;
        QTimer::singleShot(0, &loop, [&] {
            if (auto work = std::exchange(whileOpen, nullptr))
                work();
            loop.quit();
        });
        loop.exec();
        --open;
    }

    std::function<void()> whileOpen;
    int open = 0;
    int maxOpen = 0;
};

} // namespace

// Hosts that misbehave on purpose or by fault must not make the emulator pile
// up windows or memory: errors in host data are reported one box at a time
// (the box's loop goes on serving the other host connections), and replies a
// host never reads are queued only up to a bound.
class HostileHostsTest : public QObject
{
    Q_OBJECT

private slots:
    // Errors in host data are reported one box at a time: the box's loop goes on
    // serving the other host connections, and their errors must not stack
    // further boxes on it.
    void oneReportOpenAtATime()
    {
        TerminalState state;
        state.connectionRole = TerminalState::kServer;
        state.protocolKind = TerminalState::kVt100;
        DisplayModel display;
        MainViewState view;
        ModalPrompts prompts;
        ConnectionManager link(state, display, view, prompts);
        link.setHostDataSink([](const QByteArray &bytes) {
            if (bytes.startsWith("bad"))
                throw ConversionError(bytes);
        });
        link.setServerPort(0);
        link.OpenConnection();
        QSignalSpy delivered(&link, &ConnectionManager::hostDataDelivered);

        std::vector<std::unique_ptr<QTcpSocket>> hosts;
        auto sendFromNewHost = [&](const QByteArray &bytes) {
            hosts.push_back(std::make_unique<QTcpSocket>());
            hosts.back()->connectToHost(QHostAddress::LocalHost, link.serverListeningPort());
            QVERIFY(hosts.back()->waitForConnected(5000));
            const int before = delivered.size();
            hosts.back()->write(bytes);
            QTRY_VERIFY(delivered.size() > before);
        };

        prompts.whileOpen = [&] {
            for (int i = 0; i < 5; ++i)
                sendFromNewHost("bad" + QByteArray::number(i + 2));
        };
        sendFromNewHost("bad1");
        QTRY_COMPARE(prompts.open, 0);
        QCOMPARE(prompts.maxOpen, 1);
        QCOMPARE(prompts.texts(), QStringList{QStringLiteral("'bad1' is not a valid integer value.")});
        QVERIFY(link.isServerActive());

        // Once the box is closed the next error is reported again.
        sendFromNewHost("bad7");
        QTRY_COMPARE(prompts.messages.size(), 2);
        QCOMPARE(prompts.messages.last().text, QStringLiteral("'bad7' is not a valid integer value."));
    }

    void unreadRepliesAreBounded_data()
    {
        QTest::addColumn<bool>("immediate");
        QTest::newRow("queued for the event loop") << false;
        // A fleet's terminals hand each send to the system at once; what it cannot take is queued.
        QTest::newRow("handed to the system at once") << true;
    }

    void unreadRepliesAreBounded()
    {
        QFETCH(bool, immediate);
        TerminalState state;
        state.connectionRole = TerminalState::kServer;
        state.protocolKind = TerminalState::kZorvane;
        DisplayModel display;
        MainViewState view;
        RecordingPrompts prompts;
        ConnectionManager link(state, display, view, prompts);
        link.setImmediateSends(immediate);
        link.setServerPort(0);
        link.OpenConnection();
        QTcpSocket host;
        host.connectToHost(QHostAddress::LocalHost, link.serverListeningPort());
        QVERIFY(host.waitForConnected(5000));
        QTRY_COMPARE(link.hostConnectionCount(), 1);

        // Numbered replies, all sent before the host reads any: what arrives
        // must be the first ones, whole and in order, then the last. The
        // system's own buffers on loopback take some megabytes.
        QByteArray sentInOrder;
        const qint64 total = (immediate ? 16 : 3) * ConnectionManager::kMaxUnsentBytes;
        for (int number = 0; number < total / 1024; ++number) {
            QByteArray reply = QByteArray::number(number).rightJustified(8, '0');
            reply = reply.repeated(1024 / 8);
            sentInOrder += reply;
            link.SendToHost(reply);
        }
        QByteArray received;
        QTRY_VERIFY_WITH_TIMEOUT((received += host.readAll()).size() >= ConnectionManager::kMaxUnsentBytes,
                                 10000);
        // Until nothing more comes: the queue is empty then.
        for (qsizetype before = -1; before != received.size();) {
            before = received.size();
            QTest::qWait(200);
            received += host.readAll();
        }
        // Once the host has read, replies flow again.
        link.SendToHost("end");
        QTRY_VERIFY((received += host.readAll()).endsWith("end"));
        received.chop(3);
        QVERIFY(received.size() % 1024 == 0);
        QVERIFY(sentInOrder.startsWith(received));
        if (!immediate)
            QCOMPARE(received.size(), ConnectionManager::kMaxUnsentBytes); // nothing left before the loop ran
        QVERIFY(received.size() < sentInOrder.size());
        QCOMPARE(prompts.messages.size(), 0);
    }
};

QTEST_GUILESS_MAIN(HostileHostsTest)
#include "tst_hostile_hosts.moc"
