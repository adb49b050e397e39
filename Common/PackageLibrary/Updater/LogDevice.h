#pragma once

#include "TavUpdaterGlobal.h"

#include <QDateTime>
#include <QString>

namespace Updater {

struct TAVUPDATER_EXPORT LogEntry
{
    enum Level { Debug, Info, Warning, Error };

    QDateTime time;
    Level level = Info;
    QString message;

    static QString levelName(Level level);
    // "2026-12-07T21:40:05.123Z [error] message": the line every text device writes.
    QString toLine() const;
};

// Where log entries go. Devices are owned by whatever they are handed to: a
// Log owns its device, a CompositeLogDevice owns the devices added to it.
class TAVUPDATER_EXPORT LogDevice
{
public:
    virtual ~LogDevice();
    virtual void write(const LogEntry& entry) = 0;
};

} // namespace Updater
