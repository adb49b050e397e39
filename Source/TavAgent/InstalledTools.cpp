#include "InstalledTools.h"

#include <Updater/PackagesInfo.h>
#include <Updater/Target.h>
#include <Updater/Version.h>

#include <QDir>
#include <QFileInfo>

namespace Vondra {

QList<Updater::PackageInfo> InstalledTools::list(const QString& toolsDirectory)
{
    QList<Updater::PackageInfo> packages;
    // Subdirectories and links to directories, hidden ones left out; NoSort
    // keeps QDir's own order, by name ignoring case.
    const QFileInfoList directories
        = QDir(toolsDirectory).entryInfoList(QDir::AllDirs | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo& directory : directories) {
        const QString baseName = directory.completeBaseName();
        Updater::Target target(baseName);
        target.setDirectory(directory.absoluteFilePath());
        const Updater::PackagesInfo* record = target.packagesInfo();
        if (record->packageInfoCount() == 0)
            continue;
        const Updater::PackageInfo package = record->packageInfo(record->findPackageInfo(baseName.toLower()));
        // Only the exact text: "0", "0.0.0" or "beta" compare equal to it but
        // are versions a publisher gave.
        if (!package.name().isEmpty() && package.version() != Updater::Version::placeholder())
            packages << package;
    }
    return packages;
}

} // namespace Vondra
