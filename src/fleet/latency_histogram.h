#pragma once

#include <QJsonObject>

#include <cstdint>
#include <vector>

// Durations in microseconds, kept as counts per bucket so that a run of any
// length takes the same memory: values below 64 µs each have a bucket of their
// own, above that every power of two is split into 32 equal buckets, so a
// percentile is within about 3 % of the true value (the exact maximum and
// minimum are kept beside). The buckets are allocated at the first value;
// histograms of several terminals add up into one for the whole fleet.
class LatencyHistogram {
public:
    void add(std::uint64_t micros);
    void merge(const LatencyHistogram &other);

    std::uint64_t count() const { return m_count; }
    std::uint64_t max() const { return m_max; }
    // The sum of every value added, in microseconds.
    std::uint64_t sum() const { return m_sum; }
    // How many values lie in buckets that end at or below micros: the
    // cumulative count of a bucket boundary (a value sharing a bucket with
    // the boundary counts above it).
    std::uint64_t countAtMost(std::uint64_t micros) const;
    // The value below which the fraction q (0..1] of the samples lie; 0 when empty.
    std::uint64_t percentile(double q) const;

    // {"count":n,"p50":ms,"p90":ms,"p99":ms,"max":ms}, in milliseconds with
    // microsecond precision; only the count when there is nothing to show.
    QJsonObject toJson() const;

    static std::size_t bucketOf(std::uint64_t micros);
    // The smallest value of a bucket, and one past its largest.
    static std::uint64_t bucketLow(std::size_t bucket);
    static std::uint64_t bucketHigh(std::size_t bucket);

private:
    static constexpr int kLinear = 64;
    static constexpr int kSubBits = 5;
    static constexpr int kTopPower = 42; // about 51 days; longer waits share the last bucket
    static constexpr std::size_t kBuckets = kLinear + (kTopPower - 6) * (1 << kSubBits) + 1;

    std::vector<std::uint32_t> m_buckets;
    std::uint64_t m_count = 0;
    std::uint64_t m_min = 0;
    std::uint64_t m_max = 0;
    std::uint64_t m_sum = 0;
};
