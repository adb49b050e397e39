#pragma once

#include <Updater/PackageInfo.h>

#include <QList>
#include <QString>

namespace Vondra {

// The tool packages installed in the directories beside the agent's own, as
// the bridge's tavinfo answer lists them: in each directory, the package
// named after the directory (lower case, without its last dot-suffix), unless
// it is still the placeholder "0.0" that registration writes. Records are read
// anew on every call; a damaged one, or one that is no file, lists nothing.
// Safe from any thread.
class InstalledTools
{
public:
    static QList<Updater::PackageInfo> list(const QString& toolsDirectory);
};

} // namespace Vondra
