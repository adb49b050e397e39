#pragma once

#include "PackageRecord.h"
#include "Updater/PackagesInfo.h"

namespace Updater {

class UpdateSourcesInfo;

class PackagesInfoPrivate
{
public:
    QString directory;
    // The record's file in directory, empty without one.
    QString fileName;
    PackageRecord record;
    QString errorString;
    // The file read was damaged; the next save moves it aside first.
    bool damaged = false;
    // The owning target's sources; when they are marked modified the next
    // save writes them into the record.
    UpdateSourcesInfo* sources = nullptr;
};

} // namespace Updater
