#include "fleet/open_files.h"

#include "engine/errors.h"
#include "engine/terminal_state.h"
#include "shell/ini_store.h"

#include <QDir>

#include <sys/resource.h>

namespace openfiles {

Limit raiseToHardLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return {};
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    const auto value = [](rlim_t v) { return v == RLIM_INFINITY ? UINT64_MAX : std::uint64_t(v); };
    return {value(limit.rlim_cur), value(limit.rlim_max)};
}

std::uint64_t neededFor(const QStringList &folders)
{
    std::uint64_t needed = kReserve;
    for (const QString &folder : folders) {
        int role = TerminalState::kServer;
        try {
            role = IniStore(QDir(folder).filePath(QStringLiteral("Config.ini")))
                       .readInteger("Config", "Conexao", TerminalState::kClient);
        } catch (const AppError &) {
            // Not a number: the terminal will say so; count the larger need.
        }
        needed += role == TerminalState::kClient ? 1 : 3;
    }
    return needed;
}

QString refusal(std::uint64_t terminals, std::uint64_t needed, const Limit &limit)
{
    if (needed <= limit.soft)
        return {};
    return QStringLiteral("%1 terminals need about %2 open files, and this process may open %3 (the hard limit "
                          "is %4); raise it (ulimit -Hn, or LimitNOFILE= for a service) or run fewer terminals")
        .arg(terminals)
        .arg(needed)
        .arg(limit.soft)
        .arg(limit.hard);
}

} // namespace openfiles
