#include "fleet/prometheus_text.h"

#include <cmath>
#include <cstdlib>

const std::vector<const char *> &prometheusBucketBounds()
{
    static const std::vector<const char *> bounds{"0.0001", "0.00025", "0.0005", "0.001", "0.0025", "0.005",
                                                  "0.01",   "0.025",   "0.05",   "0.1",   "0.25",   "0.5",
                                                  "1",      "2.5",     "5",      "10",    "30",     "60"};
    return bounds;
}

namespace {

struct Series {
    QByteArray labels; // `terminal="t001"` or empty
    const LoadTotals *totals;
};

// A label value with its backslashes, quotes and line breaks escaped.
QByteArray labelValue(const QString &text)
{
    QByteArray out;
    for (const char c : text.toUtf8()) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

QByteArray braces(const QByteArray &labels, const QByteArray &more = {})
{
    if (labels.isEmpty() && more.isEmpty())
        return {};
    if (labels.isEmpty() || more.isEmpty())
        return '{' + labels + more + '}';
    return '{' + labels + ',' + more + '}';
}

void family(QByteArray &out, const char *name, const char *type, const char *help)
{
    out += QByteArray("# HELP ethernet_") + name + ' ' + help + '\n';
    out += QByteArray("# TYPE ethernet_") + name + ' ' + type + '\n';
}

void histogram(QByteArray &out, const char *name, const char *help, const std::vector<Series> &series,
               const LatencyHistogram LoadTotals::*which)
{
    family(out, name, "histogram", help);
    const QByteArray base = QByteArray("ethernet_") + name;
    for (const Series &one : series) {
        const LatencyHistogram &h = one.totals->*which;
        for (const char *bound : prometheusBucketBounds()) {
            const auto micros = std::uint64_t(std::llround(std::strtod(bound, nullptr) * 1e6));
            out += base + "_bucket" + braces(one.labels, QByteArray("le=\"") + bound + '"') + ' ' +
                   QByteArray::number(h.countAtMost(micros)) + '\n';
        }
        out += base + "_bucket" + braces(one.labels, "le=\"+Inf\"") + ' ' + QByteArray::number(h.count()) + '\n';
        out += base + "_sum" + braces(one.labels) + ' ' + QByteArray::number(double(h.sum()) / 1e6, 'g', 12) + '\n';
        out += base + "_count" + braces(one.labels) + ' ' + QByteArray::number(h.count()) + '\n';
    }
}

void counter(QByteArray &out, const char *name, const char *help, const std::vector<Series> &series,
             const std::uint64_t LoadTotals::*which)
{
    family(out, name, "counter", help);
    for (const Series &one : series)
        out += QByteArray("ethernet_") + name + braces(one.labels) + ' ' + QByteArray::number(one.totals->*which) +
               '\n';
}

} // namespace

QByteArray prometheusText(const PrometheusScrape &scrape)
{
    std::vector<LoadTotals> totals;
    std::vector<Series> series;
    int connected = 0;
    for (const LoadMetrics *metrics : scrape.terminals)
        connected += metrics->connected() ? 1 : 0;
    if (scrape.perTerminal) {
        totals.resize(scrape.terminals.size());
        for (std::size_t i = 0; i < scrape.terminals.size(); ++i) {
            totals[i].add(scrape.terminals[i]->totals());
            series.push_back({"terminal=\"" + labelValue(scrape.terminals[i]->name()) + '"', &totals[i]});
        }
    } else {
        totals.resize(1);
        totals[0].add(scrape.retired);
        for (const LoadMetrics *metrics : scrape.terminals)
            totals[0].add(metrics->totals());
        series.push_back({QByteArray(), &totals[0]});
    }

    QByteArray out;
    out.reserve(qsizetype(series.size()) * 2400 + 2048);
    histogram(out, "host_response_seconds",
              "Time from a send of a terminal (key, barcode, input report, playback step) to the first bytes the "
              "host sends back.",
              series, &LoadTotals::responses);
    histogram(out, "terminal_reply_seconds",
              "Time from the read of a host command that needs a reply (P, S, T, ENQ to the scale) to the "
              "terminal's reply.",
              series, &LoadTotals::replies);
    counter(out, "received_bytes_total", "Bytes read from the host.", series, &LoadTotals::bytesReceived);
    counter(out, "sent_bytes_total", "Bytes sent to the host.", series, &LoadTotals::bytesSent);
    counter(out, "host_commands_total", "Host commands the terminals interpreted.", series, &LoadTotals::commands);
    counter(out, "sends_total", "Sends of the terminals that wait for the host (not replies).", series,
            &LoadTotals::sends);
    counter(out, "connection_losses_total", "Host connections that ended.", series, &LoadTotals::connectionLosses);
    counter(out, "faults_total", "Times an injected fault acted.", series, &LoadTotals::faults);
    family(out, "terminals", "gauge", "Terminals running in the program.");
    out += "ethernet_terminals " + QByteArray::number(qsizetype(scrape.terminals.size())) + '\n';
    family(out, "terminals_connected", "gauge", "Terminals with their host connection open.");
    out += "ethernet_terminals_connected " + QByteArray::number(connected) + '\n';
    return out;
}
