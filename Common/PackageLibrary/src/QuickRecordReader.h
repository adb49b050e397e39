#pragma once

#include <QByteArray>

namespace Updater {

struct PackageRecord;

// A quick reader for the records our own writer produces, which the agent
// reads on every request of its bridge. It reads only what it fully
// understands, and there gives exactly what the XML reader gives; for
// anything else (comments, CDATA, character references, a damaged record...)
// it declines and the XML reader decides.
class QuickRecordReader
{
public:
    // False, with record empty, where it declines.
    static bool read(const QByteArray& bytes, PackageRecord* record);
};

} // namespace Updater
