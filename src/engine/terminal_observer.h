#pragma once

#include <QByteArray>
#include <QString>

// One stream of what a terminal does, in the order it happens: bytes read from
// the host and bytes sent to it, changes of the host connection, of the display,
// the LEDs and the output logs, the messages the user is shown and changes of
// the operator's boxes. The terminal hands every event to one observer (a
// fan-out when several front ends listen); with none installed the producers
// skip the call, so a terminal nobody watches pays only a branch.
class TerminalObserver {
public:
    enum class LinkEvent {
        Listening, // the Server listens on a port
        Accepted,  // a host connected to the Server
        Connected, // the Client reached the host
        Refused,   // the host refused the Client; it will try again
        Closed,    // a host connection ended, from either side
        Error,     // a socket error that ends the connection
    };

    virtual ~TerminalObserver() = default;

    // One read from a host connection, before any filtering or decoding.
    virtual void hostDataReceived(const QByteArray &bytes) { Q_UNUSED(bytes); }
    // Bytes handed to a host connection's socket.
    virtual void hostDataSent(const QByteArray &bytes) { Q_UNUSED(bytes); }
    // peer is "address:port" of the host side, or the listening port for Listening.
    virtual void linkChanged(LinkEvent event, const QString &peer, const QString &detail)
    {
        Q_UNUSED(event);
        Q_UNUSED(peer);
        Q_UNUSED(detail);
    }
    virtual void displayChanged() {}
    virtual void ledsChanged() {}
    virtual void printerChanged() {}
    virtual void serialChanged() {}
    virtual void messageShown(const QString &caption, const QString &text)
    {
        Q_UNUSED(caption);
        Q_UNUSED(text);
    }
    // An input, "Busy", "CTS", the scale box or playback changed.
    virtual void operatorChanged() {}
    // An injected fault acted: its number, its kind and what it did, in words.
    virtual void faultFired(int id, const QString &kind, const QString &what)
    {
        Q_UNUSED(id);
        Q_UNUSED(kind);
        Q_UNUSED(what);
    }
};
