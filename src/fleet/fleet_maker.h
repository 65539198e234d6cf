#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// Lays out a fleet folder: count subfolders "t001", "t002", ... of dir, each
// with a copy of one "Config.ini" and of the playback script, code list and
// scale readings that lie beside it ("Digitacoes.ini", "Codigo.txt",
// "Balanca.txt", when present). With a base port, terminal i (from 0) gets
// "Porta" = base + i, so a fleet of servers listens on consecutive ports and
// a fleet of clients calls consecutive host ports; without one every copy
// keeps the port it had. Nothing that exists is touched: a fleet folder that
// already holds terminal folders (subfolders with a "Config.ini"), whatever
// their names, or a terminal folder's name already taken refuses the whole
// request before anything is written.
struct FleetRecipe {
    QString dir;
    int count = 0;
    QString from; // the "Config.ini" to copy
    std::optional<int> basePort;
};

// What is wrong with a recipe (its count, source, ports or fleet folder), in a
// sentence; empty when it can be made. Nothing is written.
QString fleetRecipeRefusal(const FleetRecipe &recipe);

// The folders made, or an empty list and a sentence in *error (a refusal as
// above, or what failed while writing).
QStringList makeFleet(const FleetRecipe &recipe, QString *error);
