#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>

// The open-file limit of a run with many terminals: each terminal's
// connection is a file, so a fleet of thousands needs more than the usual
// 1,024. The soft limit is raised as far as the hard limit allows, and a
// fleet that would still not fit is refused before any terminal starts.
namespace openfiles {

struct Limit {
    std::uint64_t soft = 0;
    std::uint64_t hard = 0;
};

// Raises the soft limit to the hard limit; returns the limits in force after.
Limit raiseToHardLimit();

// Files the program keeps besides its terminals: standard streams, the
// event loop's own, the control and metrics servers and their clients.
constexpr std::uint64_t kReserve = 96;

// The files the terminals of these folders hold at most: a Client its one
// connection; a Server its listening socket, a host's connection and the
// identification port's listener (read from each "Config.ini"; a folder
// whose file says nothing counts as a Client, as the terminal itself does).
std::uint64_t neededFor(const QStringList &folders);

// A sentence for the user when needed files do not fit under the limit; empty when they fit.
QString refusal(std::uint64_t terminals, std::uint64_t needed, const Limit &limit);

} // namespace openfiles
