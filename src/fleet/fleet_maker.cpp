#include "fleet/fleet_maker.h"

#include "engine/errors.h"
#include "fleet/fleet.h"
#include "shell/ini_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QStringList folderNames(const FleetRecipe &recipe)
{
    const QDir root(recipe.dir);
    const int width = std::max(3, int(QString::number(recipe.count).size()));
    QStringList folders;
    for (int i = 1; i <= recipe.count; ++i)
        folders.append(root.absoluteFilePath(QStringLiteral("t%1").arg(i, width, 10, QLatin1Char('0'))));
    return folders;
}

} // namespace

QString fleetRecipeRefusal(const FleetRecipe &recipe)
{
    if (recipe.count < 1 || recipe.count > Fleet::kMaxTerminals)
        return QStringLiteral("--count must be a number from 1 to %1").arg(Fleet::kMaxTerminals);
    if (!QFileInfo(recipe.from).isFile())
        return QStringLiteral("--from: \"%1\" is not a file").arg(recipe.from);
    if (recipe.basePort && (*recipe.basePort < 1 || *recipe.basePort + recipe.count - 1 > 65535))
        return QStringLiteral("--base-port: the ports %1 to %2 are not all from 1 to 65535")
            .arg(*recipe.basePort)
            .arg(qint64(*recipe.basePort) + recipe.count - 1);
    const QFileInfo root(recipe.dir);
    if (root.exists() && !root.isDir())
        return QStringLiteral("--make-fleet: \"%1\" is not a folder").arg(recipe.dir);
    // A second fleet in the same folder would be run as one with the first (and
    // names of another width would not even collide with its folders).
    if (root.isDir()) {
        const QDir dir(root.absoluteFilePath());
        QStringList terminals;
        for (const QString &name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
            if (QFileInfo::exists(dir.filePath(name + QStringLiteral("/Config.ini"))))
                terminals.append(name);
        if (!terminals.isEmpty())
            return QStringLiteral("--make-fleet: \"%1\" already holds %2 terminal folder(s) (%3%4); make the fleet "
                                  "in a new or empty folder")
                .arg(root.absoluteFilePath())
                .arg(terminals.size())
                .arg(terminals.first(), terminals.size() > 1 ? QStringLiteral(" ... ") + terminals.last()
                                                             : QString());
    }
    for (const QString &folder : folderNames(recipe))
        if (QFileInfo::exists(folder))
            return QStringLiteral("--make-fleet: \"%1\" already exists; make the fleet in a new or empty folder")
                .arg(folder);
    return QString();
}

QStringList makeFleet(const FleetRecipe &recipe, QString *error)
{
    if (QString refusal = fleetRecipeRefusal(recipe); !refusal.isEmpty()) {
        *error = refusal;
        return {};
    }
    const QFileInfo source(recipe.from);
    const QDir root(recipe.dir);
    if (!QDir().mkpath(root.absolutePath())) {
        *error = QStringLiteral("cannot create the folder \"%1\"").arg(recipe.dir);
        return {};
    }
    const QStringList folders = folderNames(recipe);

    const QDir sourceDir = source.absoluteDir();
    const QStringList companions{QStringLiteral("Digitacoes.ini"), QStringLiteral("Codigo.txt"),
                                 QStringLiteral("Balanca.txt")};
    for (int i = 0; i < folders.size(); ++i) {
        const QDir folder(folders.at(i));
        const QString config = folder.filePath(QStringLiteral("Config.ini"));
        // The copy must stay writable: the terminal stores every change of its settings at once.
        bool ok = QDir().mkpath(folder.absolutePath()) && QFile::copy(source.absoluteFilePath(), config) &&
                  QFile::setPermissions(config, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                                    QFile::ReadOther);
        for (const QString &name : companions)
            if (ok && sourceDir.exists(name))
                ok = QFile::copy(sourceDir.filePath(name), folder.filePath(name));
        if (ok && recipe.basePort) {
            try {
                IniStore(config).writeInteger("Config", "Porta", *recipe.basePort + i);
            } catch (const AppError &failure) {
                *error = failure.text();
                return {};
            }
        }
        if (!ok) {
            *error = QStringLiteral("cannot fill the folder \"%1\"").arg(folders.at(i));
            return {};
        }
    }
    return folders;
}
