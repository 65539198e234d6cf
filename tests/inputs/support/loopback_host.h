#pragma once

#include "engine/ports.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>

// A host application on loopback for the operator-side tests. The emulator
// side is a client socket connected to the host's listening socket; its
// HostSender writes every SendToHost to that socket and records the call with
// the time it was made, and bytes the host sends arrive at onEmulatorBytes.
class LoopbackHost : public QObject, public HostSender {
    Q_OBJECT
public:
    struct Send {
        qint64 atMs;
        QByteArray bytes;
    };

    LoopbackHost();
    bool isConnected() const;

    void SendToHost(const QByteArray &bytes) override;
    // The host writes to the emulator.
    void hostWrites(const QByteArray &bytes);

    // Everything the host has read so far.
    QByteArray received;
    // One entry per SendToHost, timed from construction.
    QList<Send> sends;
    // Runs inside SendToHost before the bytes go out.
    std::function<void(const QByteArray &)> onSend;
    std::function<void(const QByteArray &)> onEmulatorBytes;

private:
    QTcpServer m_server;
    QTcpSocket m_emulatorSide;
    QTcpSocket *m_hostSide = nullptr;
    QElapsedTimer m_clock;
};
