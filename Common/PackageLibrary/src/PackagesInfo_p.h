#pragma once

#include "PackageRecord.h"
#include "Updater/PackagesInfo.h"

namespace Updater {

class UpdateSourcesInfo;

class PackagesInfoPrivate
{
public:
    QString directory;
    PackageRecord record;
    QString errorString;
    // What a damaged record held, kept until the next save sets it aside.
    QByteArray damagedBytes;
    // The owning target's sources; when they are marked modified the next
    // save writes them into the record.
    UpdateSourcesInfo* sources = nullptr;
};

} // namespace Updater
