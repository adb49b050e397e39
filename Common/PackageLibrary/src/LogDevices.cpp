#include "Updater/LogDevices.h"

#include <QFile>

#include <cstdio>

namespace Updater {

CompositeLogDevice::CompositeLogDevice() = default;

CompositeLogDevice::~CompositeLogDevice() = default;

void CompositeLogDevice::addLogDevice(LogDevice* device)
{
    if (device)
        m_devices.emplace_back(device);
}

void CompositeLogDevice::write(const LogEntry& entry)
{
    for (const auto& device : m_devices)
        device->write(entry);
}

class FileLogDevicePrivate
{
public:
    QFile file;
};

// Unbuffered, so each entry is one write() and lines of several processes
// appending to the same file do not interleave.
FileLogDevice::FileLogDevice(const QString& path, QIODevice::OpenMode mode)
    : d(std::make_unique<FileLogDevicePrivate>())
{
    d->file.setFileName(path);
    d->file.open(mode | QIODevice::WriteOnly | QIODevice::Unbuffered);
}

FileLogDevice::~FileLogDevice() = default;

bool FileLogDevice::isOpen() const
{
    return d->file.isOpen();
}

QString FileLogDevice::errorString() const
{
    return d->file.errorString();
}

void FileLogDevice::write(const LogEntry& entry)
{
    if (d->file.isOpen())
        d->file.write(entry.toLine().toUtf8() + '\n');
}

void StderrLogDevice::write(const LogEntry& entry)
{
    const QByteArray line = entry.toLine().toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

SignalLogDevice::SignalLogDevice(QObject* parent)
    : QObject(parent)
{
}

void SignalLogDevice::write(const LogEntry& entry)
{
    emit entryWritten(int(entry.level), entry.message, entry.time);
}

} // namespace Updater
