#pragma once

#include "engine/ports.h"
#include "link/connection_manager.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <optional>
#include <random>
#include <vector>

class OperatorActions;
class Scale;
struct TerminalState;
class TerminalObserver;

// What a fault is asked to do, as a control client or --fault spells it.
struct FaultSpec {
    enum class Kind {
        Split,         // deliveries handed on in pieces
        Delay,         // sends leave late, in order
        DropReply,     // replies to Zorvane commands not sent
        Reset,         // the connection aborted (RST)
        Close,         // the connection closed (FIN)
        Stall,         // no reading from the host for a while
        Refuse,        // Server: callers refused for a while; Client: reconnection later
        PrinterBusy,   // "Busy" ticked for the next printer commands
        SerialBlocked, // "CTS" ticked for the next serial commands
        Scale,         // the next ENQs get no reading, or given readings
        TelnetSilent,  // Telnet negotiation not answered
    };
    enum class What { Replies, Keys, All };

    Kind kind = Kind::Split;
    int count = 1; // kAlways: without end
    int after = 0; // deliveries (or sends, ENQs, requests) let through first
    QByteArray whenReceived;
    QList<int> offsets;
    QList<int> sizes;
    bool random = false;
    quint32 seed = 0;
    int ms = 0;
    What what = What::All;
    QList<QByteArray> readings; // decoded; empty: no reading at all

    static constexpr int kAlways = -1;
    static QString kindName(Kind kind);
    static std::optional<Kind> kindFromName(const QString &name);
};

// The three classes of sends that faults tell apart, by the object that sends
// (the trace's finer TerminalObserver::SendOrigin says which key or report).
enum class SendClass {
    Key,   // keys, input reports, barcode codes, playback, PC COM port bytes
    Reply, // replies to host commands and status frames
    Scale, // scale readings answering an ENQ
};

// Faults injected into one terminal on purpose, so that a host application can
// be tried against what the shop floor does to it, the same way every run.
//
// It sits on the three paths a fault can touch: every read from the host (as
// the link's LinkFaults), every send of the terminal (the terminal's objects
// send through a Sender tagged with their origin, which comes here before the
// host link), and every ENQ for the scale (as the outputs' EnqResponder, in
// front of the scale). With no fault in force each path passes straight on.
// A fault fires when its trigger holds (after a number of deliveries or sends,
// once given bytes have arrived from the host), as many times as its count,
// and every firing is reported to the observer. Random cuts use the fault's
// own seeded generator, so the same seed cuts the same way.
class FaultInjector : public QObject, public LinkFaults, public EnqResponder {
    Q_OBJECT
public:
    // The send operation a terminal object is given: tags its sends.
    class Sender : public HostSender {
    public:
        Sender(FaultInjector &faults, SendClass origin) : m_faults(faults), m_origin(origin) {}
        void SendToHost(const QByteArray &bytes) override { m_faults.send(m_origin, bytes); }

    private:
        FaultInjector &m_faults;
        SendClass m_origin;
    };

    struct Status {
        int id;
        FaultSpec spec;
        int remaining; // FaultSpec::kAlways for without end
        int fired;
    };

    static constexpr int kMaxFaults = 256;

    FaultInjector(ConnectionManager &link, TerminalState &state, EnqResponder &scale, QObject *parent = nullptr);

    // The operator's boxes for printer_busy and serial_blocked; set once built.
    void setActions(OperatorActions *actions) { m_actions = actions; }
    void setObserver(std::function<TerminalObserver *()> observer) { m_observer = std::move(observer); }

    // Adds a fault and returns its number; faults without a trigger that act
    // at once (a reset, a stall, a ticked box) act now. -1 when too many.
    int add(const FaultSpec &spec);
    bool clear(int id);
    void clearAll();
    QList<Status> list() const;

    void send(SendClass origin, const QByteArray &bytes);

    // LinkFaults
    void received(const QByteArray &read, const std::function<void(const QByteArray &)> &deliver) override;
    bool telnetAnswer(const QByteArray &answer) override;
    // EnqResponder
    void answerEnq() override;

private:
    struct Fault {
        int id = 0;
        FaultSpec spec;
        int remaining = 1;
        int toSkip = 0;
        int fired = 0;
        bool armed = true; // the bytes to wait for have arrived (or none were asked for)
        QByteArray tail;   // end of the data seen so far, for a match across reads
        std::mt19937 random;
        int commandsLeft = 0; // printer_busy / serial_blocked while the box is ticked
        bool boxEnded = false; // the box has gone back after the last command
    };
    struct Delayed {
        qint64 due;
        SendClass origin;
        QByteArray bytes;
        int faultId; // the delay that holds it back, or the one it waits behind
    };

    Fault *find(int id);
    void fire(Fault &fault, const QString &what);
    void retire();
    bool actsAtOnce(const FaultSpec &spec) const;
    void actNow(Fault &fault);
    // Looks for the fault's awaited bytes in a read: the offset just past
    // them, or -1; once found the fault is armed.
    qsizetype arm(Fault &fault, const QByteArray &read);
    bool takeTurn(Fault &fault);
    QList<QByteArray> cut(Fault &fault, const QByteArray &read);
    static bool matches(FaultSpec::What what, SendClass origin);
    static char replyLetter(const QByteArray &frame);
    void flushDelayed();
    // Sends held back belong to the connection they were made on: when it ends they go with it.
    void dropDelayed();
    void endBoxFaults();
    void sendReading(const QByteArray &reading);

    ConnectionManager &m_link;
    TerminalState &m_state;
    EnqResponder &m_scale;
    OperatorActions *m_actions = nullptr;
    std::function<TerminalObserver *()> m_observer;
    std::vector<Fault> m_faults;
    int m_nextId = 1;
    std::deque<Delayed> m_delayed;
    QTimer m_delayTimer;
    bool m_boxesToEnd = false;
};
