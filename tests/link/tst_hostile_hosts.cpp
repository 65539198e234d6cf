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

    void unreadRepliesAreBounded()
    {
        TerminalState state;
        state.connectionRole = TerminalState::kServer;
        state.protocolKind = TerminalState::kZorvane;
        DisplayModel display;
        MainViewState view;
        RecordingPrompts prompts;
        ConnectionManager link(state, display, view, prompts);
        link.setServerPort(0);
        link.OpenConnection();
        QTcpSocket host;
        host.connectToHost(QHostAddress::LocalHost, link.serverListeningPort());
        QVERIFY(host.waitForConnected(5000));
        QTRY_COMPARE(link.hostConnectionCount(), 1);

        // Nothing leaves before the event loop runs, so all of it would queue.
        const QByteArray reply(1024, 'r');
        for (qint64 sent = 0; sent < 3 * ConnectionManager::kMaxUnsentBytes; sent += reply.size())
            link.SendToHost(reply);
        QByteArray received;
        QTRY_VERIFY_WITH_TIMEOUT((received += host.readAll()).size() >= ConnectionManager::kMaxUnsentBytes,
                                 10000);
        // Once the host has read, replies flow again.
        link.SendToHost("end");
        QTRY_VERIFY((received += host.readAll()).endsWith("end"));
        QCOMPARE(received.size(), ConnectionManager::kMaxUnsentBytes + 3);
        QCOMPARE(prompts.messages.size(), 0);
    }
};

QTEST_GUILESS_MAIN(HostileHostsTest)
#include "tst_hostile_hosts.moc"
