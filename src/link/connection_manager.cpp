#include "link/connection_manager.h"

#include "engine/display_model.h"
#include "engine/errors.h"
#include "engine/main_view_state.h"
#include "engine/prompts.h"
#include "engine/terminal_state.h"
#include "link/comutadora_filter.h"

#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>

#include <optional>
#include <utility>

#include <sys/socket.h>

namespace
{

const QString kSocketCaption = QStringLiteral("Conexão Socket");
const QString kSocketProblem = QStringLiteral("Problema na conexão! O Socket será fechado.");

QString listenFailureReason(const QTcpServer &server)
{
    switch (server.serverError()) {
    case QAbstractSocket::AddressInUseError:
        return QStringLiteral("a porta já está em uso por outro programa");
    case QAbstractSocket::SocketAccessError:
        return QStringLiteral("acesso negado (portas abaixo de 1024 exigem privilégios de administrador)");
    default: {
        QString reason = server.errorString();
        while (reason.endsWith(QLatin1Char('.')))
            reason.chop(1);
        return reason;
    }
    }
}

QString listenFailureText(quint16 port, const QTcpServer &server)
{
    return QStringLiteral("Não foi possível abrir a porta %1: %2").arg(port).arg(listenFailureReason(server));
}

// Four decimal numbers of 0..255 separated by dots; no names, no short forms.
std::optional<QHostAddress> dottedIPv4(const QString &text)
{
    static const QRegularExpression pattern(
        QStringLiteral("^(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})$"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    quint32 value = 0;
    for (int i = 1; i <= 4; ++i) {
        const int part = match.captured(i).toInt();
        if (part > 255)
            return std::nullopt;
        value = (value << 8) | static_cast<quint32>(part);
    }
    return QHostAddress(value);
}

QString peerText(const QTcpSocket &socket)
{
    return socket.peerAddress().toString() + QLatin1Char(':') + QString::number(socket.peerPort());
}

void refuseWhileActive(bool active)
{
    if (active)
        throw AppError(QStringLiteral("Can't change value while socket is active"));
}

} // namespace

ConnectionManager::ConnectionManager(TerminalState &state, DisplayModel &display, MainViewState &view,
                                     Prompts &prompts, QObject *parent)
    : QObject(parent), m_state(state), m_display(display), m_view(view), m_prompts(prompts),
      m_decoder(
          [this](const QByteArray &answer) {
              if (!m_faults || m_faults->telnetAnswer(answer))
                  writeToClient(answer);
          },
                [this] { return m_terminalType ? m_terminalType() : QByteArrayLiteral("vt100"); }),
      m_server(new QTcpServer(this)), m_client(new QTcpSocket(this)), m_telNet(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &ConnectionManager::ServerClientConnect);
    // A failed accept (out of descriptors, say) is a fault of the Server like one on a host connection.
    connect(m_server, &QTcpServer::acceptError, this,
            [this](QAbstractSocket::SocketError error) { ServerClientError(nullptr, error); });

    m_client->setReadBufferSize(kReadBufferSize);
    connect(m_client, &QTcpSocket::connected, this, &ConnectionManager::ClientConnect);
    connect(m_client, &QTcpSocket::disconnected, this, &ConnectionManager::ClientDisconnect);
    connect(m_client, &QTcpSocket::readyRead, this, &ConnectionManager::ClientRead);
    connect(m_client, &QTcpSocket::errorOccurred, this, &ConnectionManager::ClientError);

    connect(m_telNet, &QTcpServer::newConnection, this, &ConnectionManager::TelNetClientConnect);
    connect(m_telNet, &QTcpServer::acceptError, this, &ConnectionManager::TelNetClientError);

    m_timer1.setSingleShot(true);
    m_timer1.setInterval(1000);
    connect(&m_timer1, &QTimer::timeout, this, &ConnectionManager::Timer1Timer);

    m_refusedRetry.setSingleShot(true);
    m_refusedRetry.setInterval(500);
    connect(&m_refusedRetry, &QTimer::timeout, this, &ConnectionManager::retryRefusedAttempt);

    m_readHold.setSingleShot(true);
    connect(&m_readHold, &QTimer::timeout, this, &ConnectionManager::resumeReading);
    m_extraWait.setSingleShot(true);
    connect(&m_extraWait, &QTimer::timeout, this, [this] {
        if (m_extraTarget)
            m_extraTarget->start();
    });
    m_refuseWindow.setSingleShot(true);
    connect(&m_refuseWindow, &QTimer::timeout, this, [this] {
        // Listening again only if nothing closed the Server meanwhile.
        if (m_refusedPort != 0 && !m_server->isListening())
            m_server->listen(QHostAddress::AnyIPv4, m_refusedPort);
        m_refusedPort = 0;
    });
}

ConnectionManager::~ConnectionManager()
{
    if (m_carrier)
        m_carrier->m_riders.removeAll(this);
    for (ConnectionManager *rider : std::as_const(m_riders))
        rider->m_carrier = nullptr;
    // The sockets die with this object; none of their last notifications may reach it.
    m_client->disconnect(this);
    m_server->disconnect(this);
    m_telNet->disconnect(this);
    for (const auto &connection : std::as_const(m_hostConnections))
        if (connection)
            connection->disconnect(this);
}

void ConnectionManager::setHostDataSink(std::function<void(const QByteArray &)> interpret)
{
    m_interpret = std::move(interpret);
}

void ConnectionManager::setResetCommand(ResetCommand *reset)
{
    m_reset = reset;
}

void ConnectionManager::setTerminalTypeSource(std::function<QByteArray()> source)
{
    m_terminalType = std::move(source);
}

void ConnectionManager::setTelNetPort(quint16 port)
{
    refuseWhileActive(isTelNetActive());
    m_telNetPort = port;
}

void ConnectionManager::setReconnectDelay(int ms)
{
    m_timer1.setInterval(ms);
}

void ConnectionManager::setRefusedRetryDelay(int ms)
{
    m_refusedRetry.setInterval(ms);
}

void ConnectionManager::setServerPort(quint16 port)
{
    refuseWhileActive(isServerActive());
    m_serverPort = port;
}

void ConnectionManager::setClientAddress(const QString &address)
{
    refuseWhileActive(m_clientActive);
    m_clientAddress = address;
}

void ConnectionManager::setClientPort(quint16 port)
{
    refuseWhileActive(m_clientActive);
    m_clientPort = port;
}

void ConnectionManager::setStoredPortAndAddress(const QString &storedPort, const QString &storedAddress)
{
    m_storedPort = storedPort;
    m_storedAddress = storedAddress;
}

void ConnectionManager::OpenConnection()
{
    if (m_state.connectionRole == TerminalState::kServer) {
        openServer();
        m_view.setStatusPanels(QStringLiteral("Porta: ") + m_storedPort, QString());
    } else if (m_state.connectionRole == TerminalState::kClient) {
        openClient();
        m_view.setStatusPanels(QStringLiteral("Porta: ") + m_storedPort,
                               QStringLiteral("IP Remoto: ") + m_storedAddress);
    }
    if (m_state.telnetDecoding()) {
        openTelNet();
        m_decoder.reset();
    }
}

void ConnectionManager::SendToHost(const QByteArray &bytes)
{
    if (!m_answering)
        return;
    if (m_carrier)
        m_carrier->writeToHost(bytes, m_observer);
    else
        writeToHost(bytes, m_observer);
}

void ConnectionManager::writeToHost(const QByteArray &bytes, TerminalObserver *reportTo)
{
    // QTcpSocket queues what the system cannot take at once and sends it in order.
    if (m_state.connectionRole == TerminalState::kServer) {
        for (auto it = m_hostConnections.crbegin(); it != m_hostConnections.crend(); ++it) {
            if (*it && (*it)->state() == QAbstractSocket::ConnectedState) {
                writeBounded(*it, bytes, reportTo);
                return;
            }
        }
    } else if (m_state.connectionRole == TerminalState::kClient) {
        if (m_client->state() == QAbstractSocket::ConnectedState)
            writeBounded(m_client, bytes, reportTo);
    }
}

void ConnectionManager::carry(ConnectionManager &rider)
{
    if (&rider == this || rider.m_carrier || !rider.m_riders.isEmpty() || m_riders.contains(&rider))
        return;
    rider.m_carrier = this;
    m_riders.append(&rider);
}

void ConnectionManager::writeBounded(QTcpSocket *connection, const QByteArray &bytes, TerminalObserver *reportTo)
{
    // A host that sends commands but never reads the replies would otherwise
    // have them queued here without end; past the bound they are dropped, as
    // with no connection at all.
    if (connection->bytesToWrite() + bytes.size() > kMaxUnsentBytes)
        return;
    if (!m_immediateSends) {
        connection->write(bytes);
    } else {
        // Straight to the system while nothing waits in the socket's own
        // queue: one call instead of queueing, switching the write watch on,
        // writing and switching it off again. What the system does not take
        // goes to the queue, which keeps the order and meets any error.
        qsizetype sent = 0;
        if (connection->bytesToWrite() == 0) {
            const ssize_t n = ::send(int(connection->socketDescriptor()), bytes.constData(),
                                     std::size_t(bytes.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
            sent = n > 0 ? qsizetype(n) : 0;
        }
        if (sent < bytes.size()) {
            connection->write(bytes.constData() + sent, bytes.size() - sent);
            connection->flush();
        }
    }
    if (reportTo) {
        reportTo->hostSendTo(peerTextOf(*connection));
        reportTo->hostDataSent(bytes);
    }
}

const QString &ConnectionManager::peerTextOf(const QTcpSocket &connection)
{
    // Every send names its peer; the text is made again only when the peer changes.
    const QHostAddress address = connection.peerAddress();
    const quint16 port = connection.peerPort();
    if (m_peerText.isEmpty() || address != m_peerAddress || port != m_peerPort) {
        m_peerAddress = address;
        m_peerPort = port;
        m_peerText = peerText(connection);
    }
    return m_peerText;
}

// ---- Server ----

bool ConnectionManager::isServerActive() const
{
    return m_server->isListening();
}

quint16 ConnectionManager::serverListeningPort() const
{
    return m_server->serverPort();
}

void ConnectionManager::openServer()
{
    if (m_carrier || m_server->isListening())
        return;
    if (!m_server->listen(QHostAddress::AnyIPv4, m_serverPort))
        throw AppError(listenFailureText(m_serverPort, *m_server));
    ++m_serverGeneration;
    report(TerminalObserver::LinkEvent::Listening, QString(), QString::number(m_server->serverPort()));
}

void ConnectionManager::closeServer()
{
    m_server->close();
    const auto connections = std::exchange(m_hostConnections, {});
    for (const auto &connection : connections) {
        if (!connection)
            continue;
        connection->disconnect(this);
        connection->flush();
        const bool connected = connection->state() == QAbstractSocket::ConnectedState;
        if ((m_observer || !m_riders.isEmpty()) && connected)
            report(TerminalObserver::LinkEvent::Closed, peerText(*connection), QStringLiteral("server closed"));
        connection->abort();
        connection->deleteLater();
        if (connected)
            emit hostConnectionEnded();
    }
}

int ConnectionManager::hostConnectionCount() const
{
    int count = 0;
    for (const auto &connection : m_hostConnections)
        if (connection && connection->state() == QAbstractSocket::ConnectedState)
            ++count;
    return count;
}

void ConnectionManager::ServerClientConnect()
{
    while (QTcpSocket *connection = m_server->nextPendingConnection()) {
        connection->setReadBufferSize(kReadBufferSize);
        if (m_immediateSends)
            connection->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_hostConnections.append(connection);
        connect(connection, &QTcpSocket::readyRead, this,
                [this, connection] { ServerClientRead(connection); });
        connect(
            connection, &QTcpSocket::errorOccurred, this,
            [this, connection](QAbstractSocket::SocketError error) { ServerClientError(connection, error); });
        const QString peer = peerText(*connection);
        connect(connection, &QTcpSocket::disconnected, this, [this, connection, peer] {
            m_hostConnections.removeAll(connection);
            connection->deleteLater();
            report(TerminalObserver::LinkEvent::Closed, peer);
            emit hostConnectionEnded();
        });
        report(TerminalObserver::LinkEvent::Accepted, peer);
        showConnected();
    }
}

void ConnectionManager::ServerClientRead(QTcpSocket *connection)
{
    readAndDeliver(connection);
}

void ConnectionManager::ServerClientError(QTcpSocket *connection, QAbstractSocket::SocketError error)
{
    // A host that closes (or resets) its connection only leaves the list; the Server goes on listening.
    if (error == QAbstractSocket::RemoteHostClosedError)
        return;
    if (m_observer || !m_riders.isEmpty())
        report(TerminalObserver::LinkEvent::Error, connection ? peerText(*connection) : QString(),
               connection ? connection->errorString() : m_server->errorString());
    const int generation = m_serverGeneration;
    guarded(m_prompts, [&] {
        m_prompts.showMessage(kSocketCaption, kSocketProblem, Prompts::Icon::Error);
        // A reset may have reopened the Server while the message was up; that Server is sound.
        if (generation == m_serverGeneration)
            closeServer();
    });
}

// ---- Client ----

void ConnectionManager::openClient()
{
    if (m_carrier || m_clientActive)
        return;
    const std::optional<QHostAddress> host = dottedIPv4(m_clientAddress);
    if (!host)
        throw AppError(
            QStringLiteral("O endereço \"%1\" não é um endereço IP válido (quatro números separados "
                           "por pontos, como 192.168.0.10)")
                .arg(m_clientAddress));
    // Port 0 is left when the stored port could not be used. Here a connection to it is refused
    // like one to a host that is not listening yet, and would be retried without end.
    if (m_clientPort == 0)
        throw AppError(QStringLiteral("A porta 0 não é válida: use um número de 1 a 65535"));
    m_clientHost = *host;
    m_clientActive = true;
    ++m_clientGeneration;
    startClientAttempt();
}

void ConnectionManager::startClientAttempt()
{
    ++m_clientAttempts;
    m_client->abort();
    m_client->connectToHost(m_clientHost, m_clientPort);
}

void ConnectionManager::closeClient()
{
    m_clientActive = false;
    m_refusedRetry.stop();
    m_extraWait.stop();
    if (m_client->state() == QAbstractSocket::ConnectedState)
        m_client->flush();
    m_client->abort();
    // abort() reports the end of an open connection itself; this covers a Qt that does not.
    ClientDisconnect();
}

void ConnectionManager::disconnectClient()
{
    if (m_client->state() != QAbstractSocket::ConnectedState)
        return;
    m_client->disconnectFromHost();
}

void ConnectionManager::ClientConnect()
{
    if (m_immediateSends)
        m_client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_clientConnected = true;
    m_timer1.stop();
    if (m_observer || !m_riders.isEmpty())
        report(TerminalObserver::LinkEvent::Connected, peerText(*m_client));
    showConnected();
}

void ConnectionManager::ClientDisconnect()
{
    if (!m_clientConnected)
        return;
    m_clientConnected = false;
    m_clientActive = false;
    m_refusedRetry.stop();
    startReconnectTimer(m_timer1);
    report(TerminalObserver::LinkEvent::Closed, m_clientAddress + QLatin1Char(':') + QString::number(m_clientPort));
    emit hostConnectionEnded();
}

void ConnectionManager::ClientRead()
{
    readAndDeliver(m_client);
}

void ConnectionManager::ClientError(QAbstractSocket::SocketError error)
{
    // An orderly close by the host is the end of the connection, not a fault: ClientDisconnect follows.
    if (error == QAbstractSocket::RemoteHostClosedError)
        return;
    if (m_state.mainWindowClosing || !m_clientActive)
        return;
    const QString peer = m_clientAddress + QLatin1Char(':') + QString::number(m_clientPort);
    if (error == QAbstractSocket::ConnectionRefusedError) {
        // A refused attempt comes back at once here; a pause keeps the retries from spinning.
        startReconnectTimer(m_refusedRetry);
        report(TerminalObserver::LinkEvent::Refused, peer, m_client->errorString());
        return;
    }
    report(TerminalObserver::LinkEvent::Error, peer, m_client->errorString());
    const int generation = m_clientGeneration;
    guarded(m_prompts, [&] {
        m_prompts.showMessage(kSocketCaption, kSocketProblem, Prompts::Icon::Error);
        // The Client may have been closed and opened again while the message was up.
        if (generation == m_clientGeneration)
            closeClient();
    });
}

void ConnectionManager::retryRefusedAttempt()
{
    if (!m_clientActive || m_state.mainWindowClosing)
        return;
    startClientAttempt();
}

void ConnectionManager::Timer1Timer()
{
    m_timer1.stop();
    if (m_state.mainWindowClosing)
        return;
    if (m_reset)
        guarded(m_prompts, [&] { m_reset->runResetTerminal(); });
}

// ---- TelNet ----

bool ConnectionManager::isTelNetActive() const
{
    return m_telNet->isListening();
}

quint16 ConnectionManager::telNetListeningPort() const
{
    return m_telNet->serverPort();
}

void ConnectionManager::openTelNet()
{
    if (m_telNet->isListening())
        return;
    if (m_telNet->listen(QHostAddress::AnyIPv4, m_telNetPort)) {
        if (m_observer)
            m_observer->identPortEvent(QStringLiteral("listening on port %1").arg(m_telNet->serverPort()), QString());
        return;
    }
    if (m_observer)
        m_observer->identPortEvent(listenFailureText(m_telNetPort, *m_telNet), QString());
    // Telnet itself does not need this port, so the link goes on; the user hears of it once.
    if (m_telNetFailureReported)
        return;
    m_telNetFailureReported = true;
    m_prompts.showMessage(kApplicationTitle,
                          listenFailureText(m_telNetPort, *m_telNet) +
                              QStringLiteral(".\nA conexão Telnet funciona normalmente sem esta porta."),
                          Prompts::Icon::Warning);
}

void ConnectionManager::closeTelNet()
{
    m_telNet->close();
}

void ConnectionManager::TelNetClientConnect()
{
    while (QTcpSocket *caller = m_telNet->nextPendingConnection()) {
        if (m_observer)
            m_observer->identPortEvent(QStringLiteral("caller turned away"), peerText(*caller));
        caller->abort();
        caller->deleteLater();
    }
}

void ConnectionManager::TelNetClientError()
{
    guarded(m_prompts, [&] {
        showPlainMessage(m_prompts, QStringLiteral("Erro na conexão!"));
        closeTelNet();
    });
}

// ---- Receive path ----

void ConnectionManager::readAndDeliver(QTcpSocket *connection)
{
    // While reading is held the bytes stay with the socket (and, once its
    // buffer is full, with the host); resumeReading() fetches them.
    if (m_readHold.isActive())
        return;
    const QPointer<QTcpSocket> guard(connection);
    const QByteArray read = connection->readAll();
    if (read.isEmpty())
        return;
    const bool route = !m_riders.isEmpty() && m_state.comutadoraMode;
    // Behind a concentrator with several addresses each terminal reports only the frames for it.
    if (m_observer && !route) {
        m_observer->hostReadFrom(peerText(*connection));
        m_observer->hostDataReceived(read);
    }
    const auto onward = [this, route](const QByteArray &piece) {
        if (route)
            routeByAddress(piece);
        else
            deliver(piece);
    };
    if (m_faults)
        m_faults->received(read, onward);
    else
        onward(read);
    // Bytes that arrived while the interpreter ran a nested loop raise no new notification.
    if (guard && guard->bytesAvailable() > 0)
        QMetaObject::invokeMethod(
            guard,
            [this, guard] {
                if (guard)
                    readAndDeliver(guard);
            },
            Qt::QueuedConnection);
}

void ConnectionManager::routeByAddress(const QByteArray &read)
{
    // Each terminal gets only the frames of its own address, as if it sat alone on the bus.
    const std::bitset<100> present = ComutadoraAddressesIn(read);
    QList<QPointer<ConnectionManager>> terminals{this};
    for (ConnectionManager *rider : std::as_const(m_riders))
        terminals.append(rider);
    for (const QPointer<ConnectionManager> &terminal : terminals) {
        // A terminal that went away while an earlier one ran a nested loop is skipped.
        if (!terminal || !terminal->m_answering)
            continue;
        const frames::BusAddress address = terminal->m_state.comutadoraAddress;
        if (address[0] < '0' || address[0] > '9' || address[1] < '0' || address[1] > '9' ||
            !present.test(std::size_t((address[0] - '0') * 10 + (address[1] - '0'))))
            continue;
        const QByteArray frames = ComutadoraFilter(read, address);
        if (frames.isEmpty())
            continue;
        if (terminal->m_observer)
            terminal->m_observer->hostDataReceived(frames);
        terminal->deliver(frames, true);
    }
}

void ConnectionManager::deliver(const QByteArray &read, bool filtered)
{
    // Frames for a terminal that is off the bus reach nothing.
    if (!m_answering && m_state.comutadoraMode) {
        emit hostDataDelivered();
        return;
    }
    try {
        QByteArray data = m_state.comutadoraMode && !filtered ? ComutadoraFilter(read, m_state.comutadoraAddress) : read;
        if (m_observer && m_state.comutadoraMode && !filtered)
            m_observer->comutadoraFiltered(read, data);
        if (m_state.telnetDecoding())
            data = m_decoder.feed(data);
        if (m_interpret)
            m_interpret(data);
    } catch (const AppError &error) {
        reportHostDataError(error.text());
    } catch (const SilentAbort &) {
    }
    emit hostDataDelivered();
}

bool ConnectionManager::dropHostConnection(bool reset)
{
    QTcpSocket *target = nullptr;
    if (m_state.connectionRole == TerminalState::kServer) {
        for (auto it = m_hostConnections.crbegin(); it != m_hostConnections.crend() && !target; ++it)
            if (*it && (*it)->state() == QAbstractSocket::ConnectedState)
                target = *it;
    } else if (m_client->state() == QAbstractSocket::ConnectedState) {
        target = m_client;
    }
    if (!target)
        return false;
    if (reset) {
        // A zero linger time makes the close a reset (RST) instead of a FIN.
        const struct linger abortive = {1, 0};
        ::setsockopt(int(target->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        target->abort();
    } else {
        target->disconnectFromHost();
    }
    return true;
}

void ConnectionManager::holdReading(int ms)
{
    m_readHold.start(ms);
}

void ConnectionManager::resumeReading()
{
    for (const auto &connection : std::as_const(m_hostConnections))
        if (connection && connection->bytesAvailable() > 0)
            readAndDeliver(connection);
    if (m_client->bytesAvailable() > 0)
        readAndDeliver(m_client);
}

void ConnectionManager::refuseConnections(int ms)
{
    if (m_state.connectionRole == TerminalState::kServer) {
        if (!m_server->isListening())
            return;
        m_refusedPort = m_server->serverPort();
        m_server->close();
        m_refuseWindow.start(ms);
    } else {
        m_extraReconnectDelay += ms;
    }
}

void ConnectionManager::startReconnectTimer(QTimer &timer)
{
    m_extraWait.stop();
    // A refusal injected by a fault puts this one wait off by its time.
    if (m_extraReconnectDelay > 0) {
        m_extraTarget = &timer;
        m_extraWait.start(std::exchange(m_extraReconnectDelay, 0));
        return;
    }
    timer.start();
}

void ConnectionManager::reportHostDataError(const QString &text)
{
    // The report is a modal box whose loop goes on reading the other host
    // connections, and each of them could open a box of its own inside it: a
    // host that keeps connecting with a bad command would stack windows and
    // nested loops without end. While one report is open the others are dropped.
    if (m_hostErrorShowing)
        return;
    m_hostErrorShowing = true;
    const auto shown = qScopeGuard([this] { m_hostErrorShowing = false; });
    reportError(m_prompts, text);
}

void ConnectionManager::writeToClient(const QByteArray &bytes)
{
    const SendOriginScope origin(m_observer, TerminalObserver::SendOrigin::TelnetAnswer);
    if (m_client->state() == QAbstractSocket::ConnectedState)
        writeBounded(m_client, bytes, m_observer);
}

bool ConnectionManager::isHostConnected() const
{
    if (m_carrier)
        return m_carrier->isHostConnected();
    if (m_state.connectionRole == TerminalState::kServer)
        return hostConnectionCount() > 0;
    if (m_state.connectionRole == TerminalState::kClient)
        return m_client->state() == QAbstractSocket::ConnectedState;
    return false;
}

void ConnectionManager::report(TerminalObserver::LinkEvent event, const QString &peer, const QString &detail)
{
    if (m_observer)
        m_observer->linkChanged(event, peer, detail);
    for (ConnectionManager *rider : std::as_const(m_riders))
        rider->report(event, peer, detail);
}

void ConnectionManager::showConnected()
{
    m_display.showStatusText(2, QByteArrayLiteral("Conectado"));
    m_view.setConnectionButtonsEnabled(true);
    for (ConnectionManager *rider : std::as_const(m_riders))
        rider->showConnected();
}
