#include "Updater/LogDevice.h"

#include "PrintableText.h"

namespace Updater {

QString LogEntry::levelName(Level level)
{
    switch (level) {
    case Debug:
        return QStringLiteral("debug");
    case Info:
        return QStringLiteral("info");
    case Warning:
        return QStringLiteral("warning");
    case Error:
        return QStringLiteral("error");
    }
    return QStringLiteral("info");
}

// One entry, one line, whatever the message holds.
QString LogEntry::toLine() const
{
    return time.toUTC().toString(Qt::ISODateWithMs) + QStringLiteral(" [") + levelName(level) + QStringLiteral("] ")
        + printableText(message);
}

LogDevice::~LogDevice() = default;

} // namespace Updater
