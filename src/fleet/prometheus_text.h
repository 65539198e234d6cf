#pragma once

#include "fleet/load_metrics.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>



// The load figures in the Prometheus text format (version 0.0.4), every name
// beginning with "ethernet_": the host's response time and the terminals'
// reply time as histograms in seconds (cumulative buckets from 100 µs to
// 60 s, "+Inf", sum and count), counters of bytes each way, host commands,
// sends, connection losses and faults, and gauges of the terminals and of
// those connected. By default a series is the whole program: the terminals
// running now and those removed before (kept in retired), so that counters
// never go back. Per terminal, every histogram and counter has a "terminal"
// label instead, one series per running terminal: meant for small fleets,
// since each terminal adds some fifty series.
struct PrometheusScrape {
    std::vector<const LoadMetrics *> terminals;
    LoadTotals retired;
    bool perTerminal = false;
};
QByteArray prometheusText(const PrometheusScrape &scrape);

// The bucket boundaries, in seconds as written in "le".
const std::vector<const char *> &prometheusBucketBounds();
