#pragma once

#include "fleet/latency_histogram.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

class LoadMetrics;

// The figures of one terminal, or of several added together.
struct LoadTotals {
    LatencyHistogram responses;
    LatencyHistogram replies;
    std::uint64_t bytesReceived = 0;
    std::uint64_t bytesSent = 0;
    std::uint64_t commands = 0;
    std::uint64_t sends = 0;
    std::uint64_t connectionLosses = 0;
    std::uint64_t faults = 0;

    void add(const LoadMetrics &metrics);
    void add(const LoadTotals &other);
};

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
