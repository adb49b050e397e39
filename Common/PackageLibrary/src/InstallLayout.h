#pragma once

#include <QString>

namespace Updater::InstallLayout {

// Everything the installer keeps inside a target directory starts with this:
// the lock of a running install and its work directory (downloads, staging,
// backups, journal). A package may not ship files with such names.
inline QString reservedPrefix()
{
    return QStringLiteral(".tavupdater");
}

inline QString lockFileName()
{
    return QStringLiteral(".tavupdater.lock");
}

inline QString workDirectoryPrefix()
{
    return QStringLiteral(".tavupdater-");
}

} // namespace Updater::InstallLayout
