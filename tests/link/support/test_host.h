#pragma once

// A host application for the link tests: listens on loopback, records what
// each of its connections receives, and can write, close or stop listening.

#include "link/connection_manager.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

class TestHost : public QObject
{
    Q_OBJECT
public:
    TestHost();
    // Listens on 127.0.0.1; port 0 picks a free one.
    bool listen(quint16 port = 0);
    quint16 port() const { return m_server.serverPort(); }
    void stopListening() { m_server.close(); }

    int connectionCount() const { return int(m_connections.size()); }
    QTcpSocket *connection(int index) const { return m_connections.value(index); }
    QByteArray received(int index) const { return m_received.value(index); }

signals:
    void receivedData();

private:
    QTcpServer m_server;
    QList<QPointer<QTcpSocket>> m_connections;
    QList<QByteArray> m_received;
};

// A port on which nothing listens at the moment it is returned.
quint16 unusedPort();

// Stands in for the main window's "Reset Terminal"; optionally reconnects the
// client as the real command does.
class RecordingReset : public ResetCommand
{
public:
    void runResetTerminal() override
    {
        ++runs;
        if (reopen) {
            reopen->closeClient();
            reopen->openClient();
        }
    }
    int runs = 0;
    ConnectionManager *reopen = nullptr;
};
