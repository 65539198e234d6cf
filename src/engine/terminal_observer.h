#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

struct HostCommand;

// One delivery of host data as the interpreter runs it: its bytes and its
// number, 1, 2, ... for each delivery the interpreter is handed. Two
// deliveries are told apart by their numbers (the bytes of a new one may well
// lie where the last one's lay).
struct HostDelivery {
    const QByteArray &bytes;
    quint64 sequence;
};

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

    // ---- What each layer did, for the trace ----
    // Every call below is made only while an observer is installed, so nothing
    // is formatted for a terminal nobody watches.

    // What made the terminal send: set by the producer around its sends (see
    // SendOriginScope); a send inside another's scope (a reply while a barcode
    // is typed) belongs to the innermost scope.
    enum class SendOrigin {
        Key,          // detail: the Keyboard::Key index
        FunctionKey,  // detail: the Keyboard::Key index of the digit
        InputReport,  // detail: the input, 0..3
        StatusReport, // the status frame answering "T"
        Reply,        // detail: the command letter answered ('P', 'S')
        Barcode,      // data: the code with its terminator
        ScaleReading, // detail: the reading's index; data: its bytes
        PlaybackStep, // detail: the script input; data: the characters of the step
        ComPort,      // data: the byte received on the PC COM port
        TelnetAnswer, // written by the Telnet decoder
    };

    // The host connection ("address:port") of the hostDataReceived or
    // hostDataSent call that follows at once.
    virtual void hostReadFrom(const QString &peer) { Q_UNUSED(peer); }
    virtual void hostSendTo(const QString &peer) { Q_UNUSED(peer); }
    // The TelNet listener (port 113): listening, a caller turned away, or why it could not listen.
    virtual void identPortEvent(const QString &what, const QString &peer)
    {
        Q_UNUSED(what);
        Q_UNUSED(peer);
    }
    // The Comutadora filter kept `kept` out of one read.
    virtual void comutadoraFiltered(const QByteArray &read, const QByteArray &kept)
    {
        Q_UNUSED(read);
        Q_UNUSED(kept);
    }
    // One Telnet command taken out of the stream (IAC and what follows it,
    // a subnegotiation up to its SE), with the writes that answer it.
    virtual void telnetCommand(const QByteArray &command, const QList<QByteArray> &answers)
    {
        Q_UNUSED(command);
        Q_UNUSED(answers);
    }
    // A read ended inside a subnegotiation; `collected` is what it holds so far.
    virtual void telnetSubnegotiationOpen(const QByteArray &collected) { Q_UNUSED(collected); }
    // The interpreter is about to run `command`, as the parser cut it out of
    // `delivery` (the bytes handed to InterpretHostData). The terminal's state
    // is still as the command will find it, so a watcher can name it.
    virtual void hostCommandStarts(const HostDelivery &delivery, const HostCommand &command)
    {
        Q_UNUSED(delivery);
        Q_UNUSED(command);
    }
    virtual void sendStarts(SendOrigin origin, int detail, const QByteArray &data)
    {
        Q_UNUSED(origin);
        Q_UNUSED(detail);
        Q_UNUSED(data);
    }
    virtual void sendEnds() {}
    // A control of the terminal was used: a key, a box, a button, a menu command.
    virtual void operatorAction(const QString &what) { Q_UNUSED(what); }
    // Anything else worth a line in a trace, named by kind. Meant for parts
    // that act on the terminal from outside, such as injected faults
    // (kind "fault", text saying which fault fired and what it did); the trace
    // writes one "note" record for each and counts them by kind in its summary.
    virtual void note(const QString &kind, const QString &text)
    {
        Q_UNUSED(kind);
        Q_UNUSED(text);
    }
};

// Marks the sends made while it lives with their origin; a null observer (no
// one watching) makes it do nothing.
class SendOriginScope {
public:
    SendOriginScope(TerminalObserver *observer, TerminalObserver::SendOrigin origin, int detail = 0,
                    const QByteArray &data = QByteArray())
        : m_observer(observer)
    {
        if (m_observer)
            m_observer->sendStarts(origin, detail, data);
    }
    ~SendOriginScope()
    {
        if (m_observer)
            m_observer->sendEnds();
    }
    SendOriginScope(const SendOriginScope &) = delete;
    SendOriginScope &operator=(const SendOriginScope &) = delete;

private:
    TerminalObserver *m_observer;
};
