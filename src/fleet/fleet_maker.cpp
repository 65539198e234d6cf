#include "fleet/fleet_maker.h"

#include "engine/errors.h"
#include "fleet/fleet.h"
#include "shell/ini_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QStringList makeFleet(const FleetRecipe &recipe, QString *error)
{
    if (recipe.count < 1 || recipe.count > Fleet::kMaxTerminals) {
        *error = QStringLiteral("--count must be a number from 1 to %1").arg(Fleet::kMaxTerminals);
        return {};
    }
    const QFileInfo source(recipe.from);
    if (!source.isFile()) {
        *error = QStringLiteral("--from: \"%1\" is not a file").arg(recipe.from);
        return {};
    }
    if (recipe.basePort && (*recipe.basePort < 1 || *recipe.basePort + recipe.count - 1 > 65535)) {
        *error = QStringLiteral("--base-port: the ports %1 to %2 are not all from 1 to 65535")
                     .arg(*recipe.basePort)
                     .arg(qint64(*recipe.basePort) + recipe.count - 1);
        return {};
    }
    const QDir root(recipe.dir);
    if (!QDir().mkpath(root.absolutePath())) {
        *error = QStringLiteral("cannot create the folder \"%1\"").arg(recipe.dir);
        return {};
    }
    const int width = std::max(3, int(QString::number(recipe.count).size()));
    QStringList folders;
    for (int i = 1; i <= recipe.count; ++i)
        folders.append(root.absoluteFilePath(QStringLiteral("t%1").arg(i, width, 10, QLatin1Char('0'))));
    for (const QString &folder : folders) {
        if (QFileInfo::exists(folder)) {
            *error = QStringLiteral("\"%1\" already exists; choose an empty fleet folder").arg(folder);
            return {};
        }
    }

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
