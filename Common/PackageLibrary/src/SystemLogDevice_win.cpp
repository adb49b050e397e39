#include "Updater/LogDevices.h"

#include <QCoreApplication>

#include <windows.h>

#include <string>

namespace Updater {

namespace {

WORD eventType(LogEntry::Level level)
{
    switch (level) {
    case LogEntry::Error:
        return EVENTLOG_ERROR_TYPE;
    case LogEntry::Warning:
        return EVENTLOG_WARNING_TYPE;
    case LogEntry::Debug:
    case LogEntry::Info:
        return EVENTLOG_INFORMATION_TYPE;
    }
    return EVENTLOG_INFORMATION_TYPE;
}

std::wstring sourceName()
{
    const QString name = QCoreApplication::applicationName();
    return (name.isEmpty() ? QStringLiteral("TavUpdater") : name).toStdWString();
}

} // namespace

// The Event Log has no facilities: every entry goes to the Application log
// under the program's name, whichever facility was asked for.
SystemLogDevice::SystemLogDevice(Facility facility)
    : m_facility(facility)
{
}

SystemLogDevice::~SystemLogDevice() = default;

// The source is registered per entry: errors are rare, and no handle then
// outlives a device that is destroyed from another thread.
void SystemLogDevice::write(const LogEntry& entry)
{
    const HANDLE source = RegisterEventSourceW(nullptr, sourceName().c_str());
    if (!source)
        return;
    const std::wstring message = entry.message.toStdWString();
    LPCWSTR strings[] = { message.c_str() };
    ReportEventW(source, eventType(entry.level), 0, 0, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
}

} // namespace Updater
