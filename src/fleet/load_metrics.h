#pragma once

#include "engine/terminal_observer.h"
#include "fleet/latency_histogram.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>

class Terminal;

// The figures of one terminal, or of several added together.
struct LoadTotals {
    LatencyHistogram responses;
    LatencyHistogram replies;
    std::uint64_t bytesReceived = 0;
    std::uint64_t bytesSent = 0;
    std::uint64_t commands = 0; // host commands the interpreter ran
    std::uint64_t sends = 0;
    std::uint64_t connectionLosses = 0;
    std::uint64_t faults = 0; // times an injected fault acted

    void add(const LoadTotals &other);
};

// What the host's load looks like from one terminal. It watches the terminal's
// stream of events: a send made while no host data is being handled (a key, a
// barcode, an input report, a playback step) starts a response time unless one
// is already running, and the first host bytes for this terminal after it end
// it, so a burst the host answers once counts from its first byte. A send made
// while host data is being handled is the terminal's reply to it (the answers
// to "P", "S" and "T" and the scale's answer to ENQ); its reply time runs from
// the read that carried the command. Connections that end are counted as
// losses, and a response still running then is dropped. Only histograms and
// counters are kept, so memory does not grow with the length of the run.
class LoadMetrics : public QObject, private TerminalObserver {
    Q_OBJECT
public:
    using Clock = std::chrono::steady_clock;

    LoadMetrics(Terminal &terminal, QString name, QObject *parent = nullptr);
    ~LoadMetrics() override;

    const QString &name() const { return m_name; }
    const LoadTotals &totals() const { return m_totals; }
    const LatencyHistogram &responses() const { return m_totals.responses; }
    const LatencyHistogram &replies() const { return m_totals.replies; }
    std::uint64_t sends() const { return m_totals.sends; }
    std::uint64_t connectionLosses() const { return m_totals.connectionLosses; }
    bool connected() const;

    // {"name":..,"response_ms":{..},"reply_ms":{..},"sends":n,"connection_losses":n}
    QJsonObject toJson() const;

private:
    void hostDataReceived(const QByteArray &bytes) override;
    void hostDataSent(const QByteArray &bytes) override;
    void linkChanged(LinkEvent event, const QString &peer, const QString &detail) override;
    void hostCommandStarts(const HostDelivery &delivery, const HostCommand &command) override;
    void faultFired(int id, const QString &kind, const QString &what) override;
    void deliveryDone();

    static std::uint64_t microsSince(Clock::time_point start);

    Terminal &m_terminal;
    QString m_name;
    LoadTotals m_totals;
    std::optional<Clock::time_point> m_unanswered;
    // Host data being handled: the start of the outermost read, and how deep
    // nested reads (inside a wait of the interpreter) go.
    Clock::time_point m_deliveryStart;
    int m_deliveryDepth = 0;
};

// The whole fleet's figures:
//   {"fleet":{"terminals":n,"terminals_removed":r,"response_ms":..,"reply_ms":..,"sends":..,"connection_losses":..},
//    "terminals":[each running terminal's own figures, in order],
//    "removed":{"terminals":r,"response_ms":..,"reply_ms":..,"sends":..,"connection_losses":..}}
// "fleet" adds up the running terminals and the r terminals removed before
// (retired, their figures already summed), so that a run whose terminals
// all left still shows what they did; "terminals" counts those running, as
// the list does, and "removed" is the part of the sums that the removed ones
// brought.
QJsonObject fleetMetricsJson(const std::vector<const LoadMetrics *> &terminals, const LoadTotals &retired = {},
                             qint64 retiredCount = 0);
