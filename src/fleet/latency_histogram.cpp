#include "fleet/latency_histogram.h"

#include <algorithm>
#include <bit>
#include <cmath>

std::size_t LatencyHistogram::bucketOf(std::uint64_t micros)
{
    if (micros < std::uint64_t(kLinear))
        return std::size_t(micros);
    const int power = std::min(int(std::bit_width(micros)) - 1, kTopPower); // 6 and up
    if (power == kTopPower)
        return kBuckets - 1;
    const std::uint64_t sub = (micros >> (power - kSubBits)) & ((1u << kSubBits) - 1);
    return std::size_t(kLinear + (power - 6) * (1 << kSubBits) + int(sub));
}

std::uint64_t LatencyHistogram::bucketLow(std::size_t bucket)
{
    if (bucket < std::size_t(kLinear))
        return bucket;
    const std::size_t above = bucket - kLinear;
    const int power = int(above >> kSubBits) + 6;
    const std::uint64_t sub = above & ((1u << kSubBits) - 1);
    return (std::uint64_t(1) << power) + (sub << (power - kSubBits));
}

std::uint64_t LatencyHistogram::bucketHigh(std::size_t bucket)
{
    if (bucket < std::size_t(kLinear))
        return bucket + 1;
    const int power = int((bucket - kLinear) >> kSubBits) + 6;
    return bucketLow(bucket) + (std::uint64_t(1) << (power - kSubBits));
}

void LatencyHistogram::add(std::uint64_t micros)
{
    if (m_buckets.empty())
        m_buckets.assign(kBuckets, 0);
    std::uint32_t &slot = m_buckets[bucketOf(micros)];
    // A bucket that is full stops counting rather than wrapping to a small number.
    if (slot == UINT32_MAX)
        return;
    ++slot;
    m_min = m_count == 0 ? micros : std::min(m_min, micros);
    m_max = std::max(m_max, micros);
    m_sum += micros;
    ++m_count;
}

void LatencyHistogram::merge(const LatencyHistogram &other)
{
    if (other.m_count == 0)
        return;
    if (m_buckets.empty())
        m_buckets.assign(kBuckets, 0);
    for (std::size_t i = 0; i < kBuckets; ++i)
        m_buckets[i] = std::uint32_t(std::min<std::uint64_t>(std::uint64_t(m_buckets[i]) + other.m_buckets[i], UINT32_MAX));
    m_min = m_count == 0 ? other.m_min : std::min(m_min, other.m_min);
    m_max = std::max(m_max, other.m_max);
    m_count += other.m_count;
    m_sum += other.m_sum;
}

std::uint64_t LatencyHistogram::countAtMost(std::uint64_t micros) const
{
    if (m_count == 0)
        return 0;
    if (micros >= m_max)
        return m_count;
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < kBuckets && bucketHigh(i) <= micros + 1; ++i)
        seen += m_buckets[i];
    return seen;
}

std::uint64_t LatencyHistogram::percentile(double q) const
{
    if (m_count == 0)
        return 0;
    const auto rank = std::uint64_t(std::ceil(std::clamp(q, 0.0, 1.0) * double(m_count)));
    // The last sample is the largest, which is known exactly.
    if (rank >= m_count)
        return m_max;
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < kBuckets; ++i) {
        seen += m_buckets[i];
        if (seen >= std::max<std::uint64_t>(rank, 1)) {
            // The middle of the bucket, never outside what was actually seen.
            const std::uint64_t middle = (bucketLow(i) + bucketHigh(i) - 1) / 2;
            return std::clamp(middle, m_min, m_max);
        }
    }
    return m_max;
}

QJsonObject LatencyHistogram::toJson() const
{
    QJsonObject out{{QStringLiteral("count"), qint64(m_count)}};
    if (m_count == 0)
        return out;
    const auto ms = [](std::uint64_t micros) { return double(micros) / 1000.0; };
    out.insert(QStringLiteral("p50"), ms(percentile(0.50)));
    out.insert(QStringLiteral("p90"), ms(percentile(0.90)));
    out.insert(QStringLiteral("p99"), ms(percentile(0.99)));
    out.insert(QStringLiteral("max"), ms(m_max));
    return out;
}
