#include "support/test_host.h"

TestHost::TestHost()
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            const int index = int(m_connections.size());
            m_connections.append(socket);
            m_received.append(QByteArray());
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, index] {
                m_received[index] += socket->readAll();
                emit receivedData();
            });
        }
    });
}

bool TestHost::listen(quint16 port)
{
    return m_server.listen(QHostAddress::LocalHost, port);
}

quint16 unusedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::AnyIPv4, 0);
    return probe.serverPort();
}
