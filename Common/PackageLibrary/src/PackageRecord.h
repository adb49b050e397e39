#pragma once

#include "Updater/PackageInfo.h"
#include "Updater/UpdateSourcesInfo.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace Updater {

// What "Packages.xml" holds, and its conversion from and to the file's bytes.
// Pure functions: no file, no state, safe from any thread.
struct PackageRecord
{
    QString targetName;
    QString targetVersion;
    QList<PackageInfo> packages;
    QList<UpdateSourceInfo> sources;

    // Reads bytes into record; on damage returns false, leaves record empty
    // and sets error to a short description (the caller names the file).
    static bool parse(const QByteArray& bytes, PackageRecord* record, QString* error);
    // The same through the XML reader alone, which parse() leaves the records
    // our writer produces to a quicker reader.
    static bool parseXml(const QByteArray& bytes, PackageRecord* record, QString* error);
    QByteArray serialize() const;

    bool operator==(const PackageRecord& other) const;
};

} // namespace Updater
