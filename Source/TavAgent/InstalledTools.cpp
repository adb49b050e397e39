#include "InstalledTools.h"

#include "ToolDirectories.h"

#include <Updater/PackagesInfo.h>
#include <Updater/Target.h>
#include <Updater/Version.h>

namespace Vondra {

QList<Updater::PackageInfo> InstalledTools::list(const QString& toolsDirectory)
{
    QList<Updater::PackageInfo> packages;
    for (const ToolDirectories::Entry& entry : ToolDirectories::list(toolsDirectory)) {
        Updater::Target target(entry.baseName);
        target.setDirectory(entry.path);
        const Updater::PackagesInfo* record = target.packagesInfo();
        if (record->packageInfoCount() == 0)
            continue;
        const Updater::PackageInfo package = record->packageInfo(record->findPackageInfo(entry.baseName.toLower()));
        // Only the exact text: "0", "0.0.0" or "beta" compare equal to it but
        // are versions a publisher gave.
        if (!package.name().isEmpty() && package.version() != Updater::Version::placeholder())
            packages << package;
    }
    return packages;
}

} // namespace Vondra
