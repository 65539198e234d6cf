#pragma once

#include "control/terminal_waits.h"
#include "engine/terminal_observer.h"

#include <QJsonObject>
#include <QString>

#include <memory>

class ControlServer;
class ControlTrace;
class ConversationRecording;
class Terminal;

// One terminal as a control server serves it: its name in the fleet, its
// pending waits and its trace. As the terminal's observer it turns what the
// terminal does into the server's numbered events (display, leds, printer,
// serial, sent, received, connection, message, fault, trace), keeps the sends
// and reads in the server's history and hands every change on to its waits.
//
// A member is held by the server and by anything that must outlive a request
// (a queued display event); detach() is its end: the observer hook and the
// trace go, every wait on it ends, and the terminal is no longer touched.
struct ControlMember : TerminalObserver, std::enable_shared_from_this<ControlMember> {
    ControlMember(ControlServer &server, Terminal &terminal, QString name, quint32 number);
    ~ControlMember() override;
    ControlMember(const ControlMember &) = delete;
    ControlMember &operator=(const ControlMember &) = delete;

    void detach();

    ControlServer &server;
    Terminal &terminal;
    const QString name;
    const quint32 number; // never reused within one server, so the history tells members apart
    bool attached = true;
    TerminalWaits waits;
    std::unique_ptr<ControlTrace> trace; // trace.start, trace.stop, trace.warnings
    std::unique_ptr<ConversationRecording> recording; // record.start, record.stop; made on first use

    void hostDataReceived(const QByteArray &bytes) override;
    void hostDataSent(const QByteArray &bytes) override;
    void linkChanged(LinkEvent event, const QString &peer, const QString &detail) override;
    void displayChanged() override;
    void ledsChanged() override;
    void printerChanged() override;
    void serialChanged() override;
    void messageShown(const QString &caption, const QString &text) override;
    void faultFired(int id, const QString &kind, const QString &what) override;

private:
    void passedHost(bool sent, const QByteArray &bytes);
    void publishDisplay();
    void publishNewLines(bool printer);

    bool m_displayPending = false;
    quint64 m_printerSeen = 0;
    quint64 m_serialSeen = 0;
};
