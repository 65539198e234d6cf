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
    QString name = wanted;
    if (name.isEmpty()) {
        do
            name = QStringLiteral("a%1").arg(++m_added, 4, 10, QLatin1Char('0'));
        while (root.exists(name) || std::any_of(m_units.begin(), m_units.end(),
                                                [&name](const Unit &unit) { return unit.name == name; }));
    }
    if (std::any_of(m_units.begin(), m_units.end(), [&name](const Unit &unit) { return unit.name == name; }) ||
        root.exists(name))
        throw fleetError(QStringLiteral("name_taken"), QStringLiteral("\"%1\" is already taken").arg(name));
    const QString folder = root.absoluteFilePath(name);
    QFile file(QDir(folder).filePath(QStringLiteral("Config.ini")));
    if (!root.mkdir(name) || !file.open(QIODevice::WriteOnly | QIODevice::NewOnly) ||
        file.write(config) != config.size() || !file.flush()) {
        const QString reason = file.errorString();
        QDir(folder).removeRecursively();
        throw fleetError(QStringLiteral("fleet_failed"),
                         QStringLiteral("cannot make the folder %1: %2").arg(folder, reason));
    }
    file.close();

    Unit unit = makeUnit(folder, name, false);
    unit.metrics = std::make_unique<LoadMetrics>(*unit.terminal, unit.name);
    unit.terminal->connections().setImmediateSends(true);
    Terminal &terminal = *unit.terminal;
    m_units.push_back(std::move(unit));
    if (m_server) {
        QString error;
        m_server->addMember({name, &terminal}, &error);
    }
    terminal.startWithoutWindows(false);
    return name;
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
        control::badArgument(QStringLiteral("\"%1\" is recording the conversation of --record; it is not removed")
                                 .arg(name));
    if (m_server)
        m_server->removeMember(name);
    m_retired.add(it->metrics->totals());
    it->metrics.reset();

    Terminal *terminal = it->terminal.release();
    Prompts *prompts = it->prompts.release();
    const QString folder = terminal->workingFolder();
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

    const QFileInfo place(folder);
    const bool ours = !m_root.isEmpty() && place.absolutePath() == QDir(m_root).absolutePath();
    if (keep || !ours)
        return true;
    QDir(folder).removeRecursively();
    return false;
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
