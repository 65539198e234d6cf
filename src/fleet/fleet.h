#pragma once

#include "control/control_server.h"
#include "engine/frames.h"
#include "engine/prompts.h"
#include "fleet/load_metrics.h"
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
    static constexpr int kMaxTerminals = 5000;
    static constexpr qint64 kMaxRampMs = 24LL * 3600 * 1000;

    struct Plan {
        // The working folder of each terminal, or of each concentrator.
        QStringList folders;
        // Terminals are named by their folders (a fleet), not by address alone.
        bool namedByFolder = false;
        bool comutadora = false;
        // Behind a Comutadora: the addresses each folder plays, the first keeping the connection.
        std::vector<frames::BusAddress> addresses{frames::kDefaultAddress};
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

    QJsonObject metrics(const Terminal *only = nullptr) const;
    // The fleet's figures as JSON; false and a sentence when the file cannot be written.
    bool writeMetrics(const QString &path, QString *error) const;

    // The fleet's commands, for ControlServer::addCommands.
    ControlCommands controlCommands();

private:
    struct Unit;
    Unit *unitOf(const Terminal *terminal);
    const Unit *unitOf(const Terminal *terminal) const;

    std::vector<Unit> m_units;
    bool m_comutadora = false;
    // Changes on every start or stop of all playbacks, so starts still waiting from an earlier ramp do nothing.
    std::uint64_t m_rampRun = 0;
};
