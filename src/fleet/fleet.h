#pragma once

#include "control/control_server.h"
#include "engine/frames.h"
#include "engine/prompts.h"
#include "fleet/load_metrics.h"
#include "fleet/prometheus_text.h"
#include "terminal/terminal.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

// The terminals of a headless run: one for a working folder, one for every
// subfolder of a fleet folder, and, behind a Comutadora that plays several
// bus addresses, one whole terminal per address, the first of which keeps the
// connection that all of them share. Every terminal is built, started and
// watched the same way; each has a name (its folder, its address, or both)
// and its own load figures, and messages for the user on standard error
// start with that name when there is more than one.
//
// It adds to the control interface the commands that concern the whole run
// (fleet_commands.cpp): "metrics" (one terminal's figures, or the fleet's),
// "bus" (switch an address off the bus and on again) and "playback" with
// "all" (every terminal's script at once, or staggered over a ramp-up time).
class Fleet : public QObject {
    Q_OBJECT
public:
    // More terminals than this in one process are refused.
    static constexpr int kMaxTerminals = 10000;
    static constexpr qint64 kMaxRampMs = 24LL * 3600 * 1000;

    struct Plan {
        // The working folder of each terminal, or of each concentrator.
        QStringList folders;
        // Terminals are named by their folders (a fleet), not by address alone.
        bool namedByFolder = false;
        bool comutadora = false;
        // Behind a Comutadora: the addresses each folder plays, the first keeping the connection.
        std::vector<frames::BusAddress> addresses{frames::kDefaultAddress};
        // Where fleet.add makes the folders of new terminals: the fleet folder, or the one working folder.
        QString root;
    };

    // The subfolders of dir that hold a "Config.ini", in name order; an empty
    // list and a sentence in *error when there are none or too many.
    static QStringList fleetFolders(const QString &dir, QString *error);

    Fleet(const Plan &plan, Prompts &prompts, Terminal::AddressSource localAddressText, QObject *parent = nullptr);
    ~Fleet() override;

    int size() const;
    Terminal &terminal(int index);
    std::vector<ControlServer::Member> members() const;

    // Every terminal loads its settings and opens its connection, in order.
    void start();
    // Starts every terminal's playback, terminal i after i * rampMs / size()
    // milliseconds, or stops them all (and the starts still to come). Returns
    // the names of the terminals that have no "Digitacoes.ini" to play.
    QStringList setPlaybackAll(bool on, qint64 rampMs);
    // A bus address off: its frames reach nothing and it sends nothing.
    static void setAnswering(Terminal &terminal, bool on);

    // One terminal's figures, or the whole run's: see fleetMetricsJson, with
    // the terminals removed so far as the retired ones.
    QJsonObject metrics(const Terminal *only = nullptr) const;
    // The fleet's figures as JSON; false and a sentence when the file cannot be written.
    bool writeMetrics(const QString &path, QString *error) const;
    // The figures in the Prometheus text format: the whole program (terminals
    // removed before included), or one series per terminal running now.
    QByteArray prometheusMetrics(bool perTerminal) const;

    // The fleet's commands, for ControlServer::addCommands.
    ControlCommands controlCommands();
    // "fleet.add" and "fleet.remove", for ControlServer::addServerCommands;
    // the terminals they add and remove are served by that server.
    std::vector<ControlServer::ServerCommand> membershipCommands(ControlServer &server);

    // A terminal from a "Config.ini" text, in a new subfolder of the root
    // (named, or "a0001", "a0002", ...), started at once. Returns its name;
    // throws ControlError when the fleet is full, the name is taken or bad,
    // or the folder cannot be written.
    QString addTerminal(const QByteArray &config, const QString &name = QString());
    // Stops a terminal, closes its connection, adds its figures to those kept
    // for the whole run and destroys it once control is back in the event
    // loop. Unless keep, what this run made for it goes: in a folder that
    // addTerminal made, the "Config.ini" it wrote (which the terminal itself
    // rewrites), then the folder if nothing else is in it; a link found in
    // its place is unlinked, never followed. Folders the run found (of
    // --fleet, --make-fleet, the working folder) are never touched. Returns
    // whether the member's folder is still there; throws ControlError for a
    // name it does not know, a bus address or a pinned terminal.
    bool removeTerminal(const QString &name, bool keep);
    // A terminal that an option of the run holds on to for the whole run
    // (--record, --trace): removeTerminal refuses it, naming the holder.
    void pin(Terminal &terminal, const QString &holder);

private:
    // The folder addTerminal made, as the system knows it, so that a folder
    // put in its place later is told apart.
    struct MadeFolder {
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
    };
    struct Unit {
        QString name;
        std::unique_ptr<Prompts> prompts; // none: the run's own prompts
        std::unique_ptr<Terminal> terminal;
        std::unique_ptr<LoadMetrics> metrics;
        std::optional<MadeFolder> made; // none: a folder the run found
    };
    Unit *unitOf(const Terminal *terminal);
    const Unit *unitOf(const Terminal *terminal) const;

    Unit makeUnit(const QString &folder, const QString &name, bool alone);

    Prompts &m_prompts;
    Terminal::AddressSource m_localAddressText;
    QString m_root;
    int m_added = 0;
    ControlServer *m_server = nullptr;
    const Terminal *m_pinned = nullptr;
    QStringList m_pinnedBy;
    std::vector<Unit> m_units;
    // The figures of the terminals removed so far, so that the program's counters never go back.
    LoadTotals m_retired;
    qint64 m_retiredCount = 0;
    bool m_comutadora = false;
    // Changes on every start or stop of all playbacks, so starts still waiting from an earlier ramp do nothing.
    std::uint64_t m_rampRun = 0;
};
