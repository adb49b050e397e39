#pragma once

#include "LogDevice.h"
#include "TavUpdaterGlobal.h"

#include <memory>

namespace Updater {

class LogPrivate;

// Writes time-stamped, levelled entries to one device (use a
// CompositeLogDevice for several). While Qt debug messages are redirected
// (the default), qDebug() and friends of the whole process also reach it.
class TAVUPDATER_EXPORT Log
{
public:
    // Takes ownership of device.
    explicit Log(LogDevice* device);
    ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    void setQDebugMessagesRedirected(bool redirected);
    bool isQDebugMessagesRedirected() const;

    // printf-style; logError("%s", text) writes a text verbatim.
    void logDebug(const char* format, ...) Q_ATTRIBUTE_FORMAT_PRINTF(2, 3);
    void logInfo(const char* format, ...) Q_ATTRIBUTE_FORMAT_PRINTF(2, 3);
    void logWarning(const char* format, ...) Q_ATTRIBUTE_FORMAT_PRINTF(2, 3);
    void logError(const char* format, ...) Q_ATTRIBUTE_FORMAT_PRINTF(2, 3);
    void log(LogEntry::Level level, const QString& message);

private:
    std::unique_ptr<LogPrivate> d;
};

} // namespace Updater
