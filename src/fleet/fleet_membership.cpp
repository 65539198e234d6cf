// Terminals that come and go while the program runs: "fleet.add" makes a
// terminal from a "Config.ini" text in a new folder and starts it, and
// "fleet.remove" stops one and removes its folder. A load tool adds a terminal
// for each simulated operator as it starts and removes it as it stops.

#include "control/control_request.h"
#include "engine/cp1252.h"
#include "fleet/fleet.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A "Config.ini" larger than this is not a configuration.
constexpr qsizetype kMaxConfigBytes = 64 * 1024;

ControlError fleetError(const QString &code, const QString &message)
{
    return ControlError{code, message};
}

} // namespace

QString Fleet::addTerminal(const QByteArray &config, const QString &wanted)
{
    if (m_root.isEmpty())
        throw fleetError(QStringLiteral("fleet_failed"), QStringLiteral("this run has no folder to add terminals in"));
    if (int(m_units.size()) >= kMaxTerminals)
        throw fleetError(QStringLiteral("fleet_full"),
                         QStringLiteral("the program runs %1 terminals, the most it takes").arg(kMaxTerminals));
    const QDir root(m_root);
    const auto named = [this](const QString &name) {
        return std::any_of(m_units.begin(), m_units.end(), [&name](const Unit &unit) { return unit.name == name; });
    };
    if (!wanted.isEmpty() && named(wanted))
        throw fleetError(QStringLiteral("name_taken"), QStringLiteral("\"%1\" is already taken").arg(wanted));
    // The folder is made in one step that fails when anything has the name
    // already, so that another program adding to the same folder, or the
    // user, keeps what they made; an automatic name then tries the next one.
    QString name = wanted;
    QString folder;
    for (;;) {
        if (wanted.isEmpty())
            name = QStringLiteral("a%1").arg(++m_added, 4, 10, QLatin1Char('0'));
        if (wanted.isEmpty() && named(name))
            continue;
        folder = root.absoluteFilePath(name);
        if (::mkdir(QFile::encodeName(folder).constData(), 0777) == 0)
            break;
        const int cause = errno;
        if (cause == EEXIST && wanted.isEmpty())
            continue;
        if (cause == EEXIST)
            throw fleetError(QStringLiteral("name_taken"), QStringLiteral("\"%1\" is already taken").arg(name));
        const QString reason = QString::fromLocal8Bit(std::strerror(cause));
        throw fleetError(QStringLiteral("fleet_failed"),
                         QStringLiteral("cannot make the folder %1: %2").arg(folder, reason));
    }
    MadeFolder made;
    struct stat madeStat = {};
    if (::lstat(QFile::encodeName(folder).constData(), &madeStat) == 0)
        made = {std::uint64_t(madeStat.st_dev), std::uint64_t(madeStat.st_ino)};
    QFile file(QDir(folder).filePath(QStringLiteral("Config.ini")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || file.write(config) != config.size() ||
        !file.flush()) {
        const QString reason = file.errorString();
        // Only what this call made goes: the file, if it made it, and the folder, if nothing else came in.
        if (file.isOpen()) {
            file.close();
            file.remove();
        }
        ::rmdir(QFile::encodeName(folder).constData());
        throw fleetError(QStringLiteral("fleet_failed"),
                         QStringLiteral("cannot make the folder %1: %2").arg(folder, reason));
    }
    file.close();

    Unit unit = makeUnit(folder, name, false);
    unit.metrics = std::make_unique<LoadMetrics>(*unit.terminal, unit.name);
    unit.terminal->connections().setImmediateSends(true);
    unit.made = made;
    Terminal &terminal = *unit.terminal;
    m_units.push_back(std::move(unit));
    if (m_server) {
        QString error;
        m_server->addMember({name, &terminal}, &error);
    }
    terminal.startWithoutWindows(false);
    return name;
}

namespace {

// Takes away what addTerminal made at folder: its "Config.ini", then the
// folder itself when nothing else is in it. "Config.ini" is the one file a
// terminal without windows writes in its folder (its settings); a script the
// user put there, or a trace or recording asked for there, is the user's and
// keeps the folder. A link found in the folder's place is unlinked, and a
// folder that is not the one made (same device and node) is left alone;
// nothing is followed. Returns whether something is still there.
bool present(const QByteArray &path)
{
    struct stat there = {};
    return ::lstat(path.constData(), &there) == 0;
}

bool removeMadeFolder(const QString &folder, std::uint64_t device, std::uint64_t inode)
{
    const QByteArray path = QFile::encodeName(folder);
    struct stat there = {};
    if (::lstat(path.constData(), &there) != 0)
        return false;
    if (S_ISLNK(there.st_mode))
        return ::unlink(path.constData()) != 0;
    const int dir = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0)
        return true;
    struct stat opened = {};
    const bool same = ::fstat(dir, &opened) == 0 && std::uint64_t(opened.st_dev) == device &&
                      std::uint64_t(opened.st_ino) == inode;
    if (same)
        ::unlinkat(dir, "Config.ini", 0);
    ::close(dir);
    // Fails on a folder that holds anything else, and on a link put there meanwhile.
    if (same)
        ::rmdir(path.constData());
    return present(path);
}

} // namespace

void Fleet::pin(Terminal &terminal, const QString &holder)
{
    if (m_pinned != &terminal)
        m_pinnedBy.clear();
    m_pinned = &terminal;
    m_pinnedBy.append(holder);
}

bool Fleet::removeTerminal(const QString &name, bool keep)
{
    const auto it = std::find_if(m_units.begin(), m_units.end(), [&name](const Unit &unit) { return unit.name == name; });
    if (it == m_units.end())
        control::badArgument(QStringLiteral("no terminal is called \"%1\"").arg(name));
    if (it->terminal->state().comutadoraMode)
        control::badArgument(QStringLiteral("a terminal behind a Comutadora leaves the bus with \"bus\", it is not "
                                            "removed"));
    if (it->terminal.get() == m_pinned)
        control::badArgument(QStringLiteral("\"%1\" is held by %2 until the run ends; it is not removed")
                                 .arg(name, m_pinnedBy.join(QStringLiteral(" and "))));
    if (m_server)
        m_server->removeMember(name);
    m_retired.add(it->metrics->totals());
    ++m_retiredCount;
    it->metrics.reset();

    Terminal *terminal = it->terminal.release();
    Prompts *prompts = it->prompts.release();
    const QString folder = terminal->workingFolder();
    const std::optional<MadeFolder> made = it->made;
    m_units.erase(it);
    // Its running operations end first, and whoever waits for one hears that
    // the terminal was removed; none of its code is on the stack now, since
    // nothing nests the event loop, and the rest goes once control is back there.
    terminal->operations().endAll();
    terminal->actions().setPlayback(false);
    terminal->connections().closeClient();
    terminal->connections().closeServer();
    terminal->connections().closeTelNet();
    terminal->setParent(this);
    connect(terminal, &QObject::destroyed, [prompts] { delete prompts; });
    terminal->deleteLater();

    if (keep || !made)
        return present(QFile::encodeName(folder));
    return removeMadeFolder(folder, made->device, made->inode);
}

std::vector<ControlServer::ServerCommand> Fleet::membershipCommands(ControlServer &server)
{
    m_server = &server;
    server.setEmptyAllowed(true);
    static const QRegularExpression kName(QStringLiteral("^[A-Za-z0-9_-][A-Za-z0-9_.-]{0,63}$"));
    return {
        {QStringLiteral("fleet.add"),
         [this](ControlServer &, const QJsonObject &args) {
             const QString text = control::stringArg(args, QStringLiteral("config"));
             const QString name = control::stringArg(args, QStringLiteral("name"), QString());
             if (!name.isEmpty() && !kName.match(name).hasMatch())
                 control::badArgument(QStringLiteral("\"name\" is a folder name of letters, digits, \"-\", \"_\" and "
                                                     "\".\", at most 64"));
             const QByteArray config = toCp1252(text);
             if (config.size() > kMaxConfigBytes)
                 control::badArgument(QStringLiteral("\"config\" may be at most 64 KiB"));
             const QString added = addTerminal(config, name);
             return QJsonObject{{QStringLiteral("terminal"), added}, {QStringLiteral("terminals"), size()}};
         }},
        {QStringLiteral("fleet.remove"),
         [this](ControlServer &, const QJsonObject &args) {
             const QString name = control::stringArg(args, QStringLiteral("terminal"));
             const bool keep = control::boolArg(args, QStringLiteral("keep"), false);
             const bool kept = removeTerminal(name, keep);
             return QJsonObject{{QStringLiteral("terminal"), name},
                                {QStringLiteral("kept"), kept},
                                {QStringLiteral("terminals"), size()}};
         }},
    };
}
