#pragma once

#include "LogDevice.h"
#include "TavUpdaterGlobal.h"

#include <QIODevice>
#include <QObject>

#include <memory>
#include <vector>

namespace Updater {

// Hands every entry to each device added, in the order added; owns them.
class TAVUPDATER_EXPORT CompositeLogDevice : public LogDevice
{
public:
    CompositeLogDevice();
    ~CompositeLogDevice() override;
    void addLogDevice(LogDevice* device);
    void write(const LogEntry& entry) override;

private:
    std::vector<std::unique_ptr<LogDevice>> m_devices;
};

// Appends one line per entry to a file opened with the mode given (WriteOnly
// is implied). An unwritable file loses its entries; nothing else notices.
class FileLogDevicePrivate;
class TAVUPDATER_EXPORT FileLogDevice : public LogDevice
{
public:
    FileLogDevice(const QString& path, QIODevice::OpenMode mode);
    ~FileLogDevice() override;
    bool isOpen() const;
    QString errorString() const;
    void write(const LogEntry& entry) override;

private:
    std::unique_ptr<FileLogDevicePrivate> d;
};

class TAVUPDATER_EXPORT StderrLogDevice : public LogDevice
{
public:
    void write(const LogEntry& entry) override;
};

// The system's log: syslog on Unix, the Event Log on Windows.
class TAVUPDATER_EXPORT SystemLogDevice : public LogDevice
{
public:
    // Who the entries are filed under. Application files them as an ordinary
    // user program (syslog's LOG_USER, the Event Log's Application log).
    enum Facility { Application = 0, Daemon = 1 };

    explicit SystemLogDevice(Facility facility = Application);
    ~SystemLogDevice() override;
    void write(const LogEntry& entry) override;

private:
    Facility m_facility;
};

// Emits every entry as a signal, for a window or a test to show or check.
class TAVUPDATER_EXPORT SignalLogDevice : public QObject, public LogDevice
{
    Q_OBJECT

public:
    explicit SignalLogDevice(QObject* parent = nullptr);
    void write(const LogEntry& entry) override;

signals:
    void entryWritten(int level, const QString& message, const QDateTime& time);
};

} // namespace Updater
