#pragma once

#include "engine/ports.h"
#include "engine/terminal_observer.h"
#include "link/telnet_decoder.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>

class QTcpServer;
class QTcpSocket;
struct TerminalState;
class DisplayModel;
class MainViewState;
class Prompts;

// The "Reset Terminal" command of the main window, run by the reconnect timer
// one period after a client connection was lost.
class ResetCommand
{
public:
    virtual ~ResetCommand() = default;
    virtual void runResetTerminal() = 0;
};

// What injected faults do to the link (see FaultInjector): every read from the
// host passes through received(), which hands it on whole, in pieces or cut
// short; every Telnet answer through telnetAnswer(), which may keep it back.
class LinkFaults
{
public:
    virtual ~LinkFaults() = default;
    virtual void received(const QByteArray &read, const std::function<void(const QByteArray &)> &deliver) = 0;
    virtual bool telnetAnswer(const QByteArray &answer) = 0;
};

// Owns the TCP link to the host: the listening Server with its host connections
// in accept order, the Client connection, the TelNet listener that turns every
// caller away, and the reconnect timer Timer1. Bytes read on any host
// connection go, one read at a time, through the Comutadora filter and the
// Telnet decoder (as the terminal state asks) to the host data sink; bytes the
// terminal sends come in through SendToHost and go to the newest open host
// connection or to the Client. Connection state is shown through the display
// ("Conectado") and the main view state (buttons, status bar); socket errors
// are reported through Prompts.
class ConnectionManager : public QObject, public HostSender
{
    Q_OBJECT
public:
    static constexpr quint16 kDefaultServerPort = 1001;
    static constexpr quint16 kDefaultTelNetPort = 113;
    // Bytes read from a host connection and not yet handed on; beyond this the
    // socket stops reading and TCP holds the host back.
    static constexpr qint64 kReadBufferSize = 64 * 1024;
    // Bytes queued for a host connection that the host has not taken yet;
    // further sends to it are dropped until it reads.
    static constexpr qint64 kMaxUnsentBytes = 1024 * 1024;

    ConnectionManager(TerminalState &state, DisplayModel &display, MainViewState &view, Prompts &prompts,
                      QObject *parent = nullptr);
    ~ConnectionManager() override;

    // InterpretHostData; it may throw AppError, which is reported per read.
    void setHostDataSink(std::function<void(const QByteArray &)> interpret);
    // Without one (as while the windows are torn down) Timer1 ticks change nothing.
    void setResetCommand(ResetCommand *reset);
    // The text of edTerminal at the moment of a terminal-type answer; "vt100" by default.
    void setTerminalTypeSource(std::function<QByteArray()> source);
    void setTelNetPort(quint16 port);
    void setReconnectDelay(int ms);
    void setRefusedRetryDelay(int ms);
    // Reads, sends and connection changes are reported here; nullptr for none.
    void setObserver(TerminalObserver *observer)
    {
        m_observer = observer;
        m_decoder.setObserver(observer);
    }
    // Injected faults; nullptr (the default) for a link that behaves.
    void setFaults(LinkFaults *faults) { m_faults = faults; }

    // Fault actions. Ends the current host connection (the newest one of the
    // Server, or the Client's) with a reset or an orderly close; false when
    // there is none.
    bool dropHostConnection(bool reset);
    // Stops reading from the host for ms milliseconds; what arrives meanwhile waits.
    void holdReading(int ms);
    bool readingHeld() const { return m_readHold.isActive(); }
    // Server: the listening socket closes for ms milliseconds, so new callers
    // are refused. Client: the next connection attempt waits ms milliseconds more.
    void refuseConnections(int ms);

    // Changing a port or the address of an open socket throws AppError.
    void setServerPort(quint16 port);
    quint16 serverPort() const { return m_serverPort; }
    void setClientAddress(const QString &address);
    QString clientAddress() const { return m_clientAddress; }
    void setClientPort(quint16 port);
    quint16 clientPort() const { return m_clientPort; }
    void setStoredPortAndAddress(const QString &storedPort, const QString &storedAddress);

    // Opens the socket of the current role and, with Telnet selected, the TelNet
    // listener; resets the Telnet decoder. Throws AppError naming the port and
    // the reason when the Server cannot listen, or when the client's address is
    // not a dotted IPv4 address or its port is 0.
    void OpenConnection();
    void SendToHost(const QByteArray &bytes) override;

    bool isServerActive() const;
    // The port actually listened on (differs from serverPort() when that is 0).
    quint16 serverListeningPort() const;
    void openServer();
    void closeServer();

    // The Client is active from openClient() until it is closed, its connection
    // ends, or an error other than a refused attempt ends it; a refused attempt
    // keeps it active while the next attempt waits.
    bool isClientActive() const { return m_clientActive; }
    void openClient();
    void closeClient();
    // Ends an open client connection in an orderly way, sending what is queued first.
    void disconnectClient();

    // Several terminals behind one Comutadora connection: this manager (the
    // carrier) keeps the sockets, and each rider added here sends through
    // them; each read is split by address and handed to the terminal of each
    // address (the carrier itself included), which reports and interprets
    // only its own frames. A rider opens and closes no socket of its own; it
    // hears the carrier's connection changes.
    void carry(ConnectionManager &rider);
    bool isRider() const { return m_carrier != nullptr; }
    // A terminal that does not answer is off the bus: the frames for it are
    // dropped and it sends nothing. Every terminal answers from the start.
    void setAnswering(bool on) { m_answering = on; }
    bool isAnswering() const { return m_answering; }
    // Each send is handed to the system at once, without the small-packet
    // delay (TCP_NODELAY), instead of at the next turn of the event loop: with
    // hundreds of terminals in one loop that turn costs milliseconds, and the
    // delay holds a small reply until the host acknowledges the last one.
    void setImmediateSends(bool on) { m_immediateSends = on; }

    bool isTelNetActive() const;
    quint16 telNetListeningPort() const;
    void closeTelNet();

    int hostConnectionCount() const;
    // A host connection is open in the current role.
    bool isHostConnected() const;
    // Timer1 is running: a reset will follow unless the main window is closing.
    bool reconnectPending() const { return m_timer1.isActive(); }
    // Connection attempts the Client has started, retries included.
    int clientAttemptCount() const { return m_clientAttempts; }
    TelnetDecoder &telnetDecoder() { return m_decoder; }

signals:
    // After each read was handed to the host data sink.
    void hostDataDelivered();
    // A host connection ended, closed by either side, reset or dropped with the Server.
    void hostConnectionEnded();

private:
    void ServerClientConnect();
    void ServerClientRead(QTcpSocket *connection);
    void ServerClientError(QTcpSocket *connection, QAbstractSocket::SocketError error);
    void ClientConnect();
    void ClientDisconnect();
    void ClientRead();
    void ClientError(QAbstractSocket::SocketError error);
    void TelNetClientConnect();
    void TelNetClientError();
    void Timer1Timer();

    void retryRefusedAttempt();
    void startClientAttempt();
    void openTelNet();
    void readAndDeliver(QTcpSocket *connection);
    void deliver(const QByteArray &read, bool filtered = false);
    void routeByAddress(const QByteArray &read);
    void writeToHost(const QByteArray &bytes, TerminalObserver *reportTo);
    void reportHostDataError(const QString &text);
    void writeToClient(const QByteArray &bytes);
    void writeBounded(QTcpSocket *connection, const QByteArray &bytes, TerminalObserver *reportTo);
    const QString &peerTextOf(const QTcpSocket &connection);
    void showConnected();
    void startReconnectTimer(QTimer &timer);
    void resumeReading();
    void report(TerminalObserver::LinkEvent event, const QString &peer, const QString &detail = {});

    TerminalState &m_state;
    DisplayModel &m_display;
    MainViewState &m_view;
    Prompts &m_prompts;

    std::function<void(const QByteArray &)> m_interpret;
    ResetCommand *m_reset = nullptr;
    TerminalObserver *m_observer = nullptr;
    LinkFaults *m_faults = nullptr;
    QTimer m_readHold;
    QTimer m_refuseWindow;
    quint16 m_refusedPort = 0;
    int m_extraReconnectDelay = 0;
    QTimer m_extraWait;
    QTimer *m_extraTarget = nullptr;
    std::function<QByteArray()> m_terminalType;
    TelnetDecoder m_decoder;

    QTcpServer *m_server;
    QList<QPointer<QTcpSocket>> m_hostConnections;
    quint16 m_serverPort = kDefaultServerPort;
    int m_serverGeneration = 0;

    QTcpSocket *m_client;
    QString m_clientAddress;
    QHostAddress m_clientHost;
    quint16 m_clientPort = 0;
    bool m_clientActive = false;
    bool m_clientConnected = false;
    int m_clientGeneration = 0;
    int m_clientAttempts = 0;

    QTcpServer *m_telNet;
    quint16 m_telNetPort = kDefaultTelNetPort;
    bool m_telNetFailureReported = false;

    QTimer m_timer1;
    QTimer m_refusedRetry;

    // An error report for host data is on screen.
    bool m_hostErrorShowing = false;

    QString m_storedPort;
    QString m_storedAddress;

    ConnectionManager *m_carrier = nullptr;
    QList<ConnectionManager *> m_riders;
    bool m_answering = true;
    bool m_immediateSends = false;

    // The last peer a send went to, as text (see peerTextOf).
    QHostAddress m_peerAddress;
    quint16 m_peerPort = 0;
    QString m_peerText;
};
