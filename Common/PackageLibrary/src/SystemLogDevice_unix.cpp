#include "Updater/LogDevices.h"

#include "PrintableText.h"

#include <QCoreApplication>
#include <QMutex>

#include <syslog.h>

namespace Updater {

namespace {

// openlog() keeps the ident pointer, so an ident handed to it must live as
// long as the process. Only a changed application name allocates a new one.
void openSystemLog()
{
    static QMutex mutex;
    static QByteArray current;
    QByteArray ident = QCoreApplication::applicationName().toLocal8Bit();
    if (ident.isEmpty())
        ident = QByteArrayLiteral("TavUpdater");
    QMutexLocker lock(&mutex);
    if (ident == current)
        return;
    current = ident;
    openlog(qstrdup(ident.constData()), LOG_PID, LOG_USER);
}

int priority(LogEntry::Level level)
{
    switch (level) {
    case LogEntry::Debug:
        return LOG_DEBUG;
    case LogEntry::Info:
        return LOG_INFO;
    case LogEntry::Warning:
        return LOG_WARNING;
    case LogEntry::Error:
        return LOG_ERR;
    }
    return LOG_INFO;
}

} // namespace

SystemLogDevice::SystemLogDevice(Facility facility)
    : m_facility(facility)
{
    openSystemLog();
}

// The system log stays open: other devices of the process may still use it.
SystemLogDevice::~SystemLogDevice() = default;

void SystemLogDevice::write(const LogEntry& entry)
{
    const int facility = m_facility == Daemon ? LOG_DAEMON : LOG_USER;
    syslog(facility | priority(entry.level), "%s", printableText(entry.message).toLocal8Bit().constData());
}

} // namespace Updater
