#pragma once

// Small helpers the benchmark programs share to turn samples into the figures
// they print: percentiles, the resident memory of a process, and a line that
// names the machine the figures were taken on.

#include <QString>

#include <vector>

namespace figures
{

// Nearest-rank percentile (p in 0..100) of the samples; 0 when there are none.
double percentile(std::vector<double> samples, double p);

// "AMD EPYC, 2 cores, Linux 6.1": what the figures were measured on.
QString machine();

// The three load averages of /proc/loadavg, as the system writes them.
QString loadAverage();

// A field of /proc/<pid>/status in KiB ("VmRSS", "VmHWM"); -1 when unreadable.
long statusKiB(long long pid, const char *field);

// Starts a new peak (VmHWM) at the current resident size of the process;
// false when the system does not allow it.
bool resetPeak(long long pid);

constexpr double kMiB = 1024.0 * 1024.0;

} // namespace figures
