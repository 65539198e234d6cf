#include "fleet/load_metrics.h"

#include "terminal/terminal.h"

#include <QJsonArray>

LoadMetrics::LoadMetrics(Terminal &terminal, QString name, QObject *parent)
    : QObject(parent), m_terminal(terminal), m_name(std::move(name))
{
    m_terminal.addObserver(this);
    // Emitted after each read was interpreted, whether or not anything was for this terminal.
    connect(&m_terminal.connections(), &ConnectionManager::hostDataDelivered, this, &LoadMetrics::deliveryDone);
}

LoadMetrics::~LoadMetrics()
{
    m_terminal.removeObserver(this);
}

std::uint64_t LoadMetrics::microsSince(Clock::time_point start)
{
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
    return elapsed < 0 ? 0 : std::uint64_t(elapsed);
}

void LoadMetrics::hostDataReceived(const QByteArray &bytes)
{
    m_totals.bytesReceived += std::uint64_t(bytes.size());
    if (m_unanswered) {
        m_totals.responses.add(microsSince(*m_unanswered));
        m_unanswered.reset();
    }
    if (m_deliveryDepth++ == 0)
        m_deliveryStart = Clock::now();
}

void LoadMetrics::deliveryDone()
{
    if (m_deliveryDepth > 0)
        --m_deliveryDepth;
}

void LoadMetrics::hostDataSent(const QByteArray &bytes)
{
    m_totals.bytesSent += std::uint64_t(bytes.size());
    if (m_deliveryDepth > 0) {
        m_totals.replies.add(microsSince(m_deliveryStart));
        return;
    }
    ++m_totals.sends;
    if (!m_unanswered)
        m_unanswered = Clock::now();
}

void LoadMetrics::linkChanged(LinkEvent event, const QString &peer, const QString &detail)
{
    Q_UNUSED(peer);
    Q_UNUSED(detail);
    if (event != LinkEvent::Closed)
        return;
    ++m_totals.connectionLosses;
    m_unanswered.reset();
}

void LoadMetrics::hostCommandStarts(const HostDelivery &delivery, const HostCommand &command)
{
    Q_UNUSED(delivery);
    Q_UNUSED(command);
    ++m_totals.commands;
}

void LoadMetrics::faultFired(int id, const QString &kind, const QString &what)
{
    Q_UNUSED(id);
    Q_UNUSED(kind);
    Q_UNUSED(what);
    ++m_totals.faults;
}

bool LoadMetrics::connected() const
{
    return m_terminal.connections().isHostConnected();
}

QJsonObject LoadMetrics::toJson() const
{
    return {{QStringLiteral("name"), m_name},
            {QStringLiteral("response_ms"), m_totals.responses.toJson()},
            {QStringLiteral("reply_ms"), m_totals.replies.toJson()},
            {QStringLiteral("sends"), qint64(m_totals.sends)},
            {QStringLiteral("connection_losses"), qint64(m_totals.connectionLosses)}};
}

void LoadTotals::add(const LoadTotals &other)
{
    responses.merge(other.responses);
    replies.merge(other.replies);
    bytesReceived += other.bytesReceived;
    bytesSent += other.bytesSent;
    commands += other.commands;
    sends += other.sends;
    connectionLosses += other.connectionLosses;
    faults += other.faults;
}

namespace {

QJsonObject sumsJson(qint64 terminals, const LoadTotals &totals)
{
    return {{QStringLiteral("terminals"), terminals},
            {QStringLiteral("response_ms"), totals.responses.toJson()},
            {QStringLiteral("reply_ms"), totals.replies.toJson()},
            {QStringLiteral("sends"), qint64(totals.sends)},
            {QStringLiteral("connection_losses"), qint64(totals.connectionLosses)}};
}

} // namespace

QJsonObject fleetMetricsJson(const std::vector<const LoadMetrics *> &terminals, const LoadTotals &retired,
                             qint64 retiredCount)
{
    LoadTotals all = retired;
    QJsonArray each;
    for (const LoadMetrics *metrics : terminals) {
        all.add(metrics->totals());
        each.append(metrics->toJson());
    }
    QJsonObject fleet = sumsJson(qint64(terminals.size()), all);
    fleet.insert(QStringLiteral("terminals_removed"), retiredCount);
    return {{QStringLiteral("fleet"), fleet},
            {QStringLiteral("terminals"), each},
            {QStringLiteral("removed"), sumsJson(retiredCount, retired)}};
}
