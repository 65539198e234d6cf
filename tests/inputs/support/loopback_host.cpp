#include "loopback_host.h"

#include <QHostAddress>
#include <QTest>

LoopbackHost::LoopbackHost()
{
    m_clock.start();
    if (!m_server.listen(QHostAddress::LocalHost, 0))
        return;
    m_emulatorSide.connectToHost(QHostAddress::LocalHost, m_server.serverPort());
    if (!QTest::qWaitFor([this] { return m_server.hasPendingConnections(); }, 5000))
        return;
    m_hostSide = m_server.nextPendingConnection();
    if (!m_hostSide)
        return;
    if (!QTest::qWaitFor([this] { return m_emulatorSide.state() == QAbstractSocket::ConnectedState; }, 5000))
        return;
    connect(m_hostSide, &QTcpSocket::readyRead, this, [this] { received += m_hostSide->readAll(); });
    connect(&m_emulatorSide, &QTcpSocket::readyRead, this, [this] {
        const QByteArray bytes = m_emulatorSide.readAll();
        if (onEmulatorBytes)
            onEmulatorBytes(bytes);
    });
}

bool LoopbackHost::isConnected() const
{
    return m_hostSide && m_emulatorSide.state() == QAbstractSocket::ConnectedState;
}

void LoopbackHost::SendToHost(const QByteArray &bytes)
{
    if (onSend)
        onSend(bytes);
    sends.append({m_clock.elapsed(), bytes});
    m_emulatorSide.write(bytes);
    m_emulatorSide.flush();
}

void LoopbackHost::hostWrites(const QByteArray &bytes)
{
    if (m_hostSide) {
        m_hostSide->write(bytes);
        m_hostSide->flush();
    }
}
