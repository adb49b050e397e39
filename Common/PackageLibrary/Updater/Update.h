#pragma once

#include "TavUpdaterGlobal.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

namespace Updater {

// One update offered for one package: what the signed index says about the
// archive, and the version it replaces. Created by UpdateFinder, which owns it.
class TAVUPDATER_EXPORT Update
{
public:
    QString packageName;
    QString title;
    QString description;
    QString version;
    // The installed version it replaces ("0.0" for a first install).
    QString installedVersion;
    QString platform;
    // Absolute address of the archive.
    QUrl archiveUrl;
    // Exact archive size in bytes and its SHA-256 (32 raw bytes), from the index.
    quint64 archiveSize = 0;
    QByteArray sha256;
    // What the archive unpacks to, as the index states; -1 when it does not,
    // and the installer's default cap applies.
    qint64 unpackedSize = -1;
    // Name of the source the update came from.
    QString sourceName;
    // A delta that makes this version from installedVersion, when the index
    // offers one: address, exact size, SHA-256 and what the version unpacks
    // to. An empty address: none, or none from that version.
    QString deltaFromVersion;
    QUrl deltaUrl;
    quint64 deltaSize = 0;
    QByteArray deltaSha256;
    qint64 deltaUnpackedSize = -1;
};

} // namespace Updater
