#pragma once

#include "engine/terminal_observer.h"
#include "engine/host_parser.h"
#include "trace/command_words.h"
#include "trace/trace_record.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <vector>

class Terminal;

// Turns what one terminal reports into trace records, in order, each with its
// time, the time since the one before and the host connection it belongs to.
//
// It watches the terminal as an observer from construction to destruction.
// Reads, sends and connection changes become records as they come; each Telnet
// command and what the Comutadora filter did are named; each host command is
// named from the value the interpreter runs (as the parser cut it) and the
// terminal's state at the moment the interpreter reports it. Sends carry the
// origin their producer declared. Host diagnostics (warnings) are marked on
// the records where the host lost something, and counted by kind in the summary.
//
// A flood of alike commands (hundreds of "D" frames in one read) would cost
// more to describe than to run: after kSingleInARow alike commands (same
// kind, same warning) the rest of the row is folded into one record per read
// that names the last of them and how many it stands for. The row goes on
// across reads, and ends with any record other than a read or a command.
class Tracer : public QObject, private TerminalObserver {
    Q_OBJECT
public:
    using Sink = std::function<void(const TraceRecord &)>;

    static constexpr int kSingleInARow = 8;
    // The same option request this many times on one connection is a loop.
    static constexpr int kNegotiationRepeats = 8;
    // A subnegotiation holding this much without its SE has gone astray.
    static constexpr int kEndlessSubnegotiation = 256;

    Tracer(Terminal &terminal, Sink sink, QObject *parent = nullptr);
    ~Tracer() override;

    // Writes the record of a fold still open.
    void flush();
    // Warnings and notes so far, the open fold included.
    const TraceSummary &summary();

private:
    void record(TraceRecord::Kind kind, TraceRecord::Direction direction, const QString &peer,
                const QByteArray &bytes, const QString &text, const QString &tag = {},
                const QString &warning = {}, qint64 repeated = 0);
    CommandScene scene() const;
    QString originWords(const QByteArray &bytes, QString *tag) const;
    void forgetNegotiation();

    // TerminalObserver
    void hostDataReceived(const QByteArray &bytes) override;
    void hostDataSent(const QByteArray &bytes) override;
    void linkChanged(LinkEvent event, const QString &peer, const QString &detail) override;
    void messageShown(const QString &caption, const QString &text) override;
    void hostReadFrom(const QString &peer) override;
    void hostSendTo(const QString &peer) override;
    void identPortEvent(const QString &what, const QString &peer) override;
    void comutadoraFiltered(const QByteArray &read, const QByteArray &kept) override;
    void telnetCommand(const QByteArray &command, const QList<QByteArray> &answers) override;
    void telnetSubnegotiationOpen(const QByteArray &collected) override;
    void hostCommandStarts(const HostDelivery &delivery, const HostCommand &command) override;
    void sendStarts(SendOrigin origin, int detail, const QByteArray &data) override;
    void sendEnds() override;
    void operatorAction(const QString &what) override;
    void note(const QString &kind, const QString &text) override;
    void faultFired(int id, const QString &kind, const QString &what) override;

    struct Origin {
        SendOrigin origin;
        int detail;
        QByteArray data;
    };
    // The row of alike commands being folded: how many, and the last of them
    // with what it found, to be named when the fold's record is written.
    struct Fold {
        int shape = -1;
        commandwords::Warning warning = commandwords::Warning::None;
        int inARow = 0;
        qint64 folded = 0;
        QByteArray delivery;
        quint64 sequence = 0;
        HostCommand last;
        CommandScene lastScene;
    };

    Terminal &m_terminal;
    Sink m_sink;
    TraceSummary m_summary;
    qint64 m_lastTimeUs = 0;
    QString m_readPeer;
    QString m_sendPeer;
    std::vector<Origin> m_origins;

    // The last command named was cut by the end of its delivery.
    bool m_previousCut = false;
    Fold m_fold;

    std::map<QByteArray, int> m_requests;
    bool m_subnegotiationReported = false;
};
