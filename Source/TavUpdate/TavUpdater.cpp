#include "TavUpdater.h"

#include <Updater/Log.h>
#include <Updater/LogDevices.h>

namespace Vondra {

TavUpdater::TavUpdater(QObject* parent)
    : QObject(parent)
{
}

QString TavUpdater::errorLogPath()
{
    return QStringLiteral("./updater.log");
}

void TavUpdater::onError(int code, const QString& errorText)
{
    Q_UNUSED(code)
    // A fresh log per error: nothing stays open between errors, and the file is
    // created only when there is something to say.
    auto* devices = new Updater::CompositeLogDevice;
    devices->addLogDevice(new Updater::FileLogDevice(errorLogPath(), QIODevice::Append));
    devices->addLogDevice(new Updater::StderrLogDevice);
    devices->addLogDevice(new Updater::SystemLogDevice(Updater::SystemLogDevice::Application));
    devices->addLogDevice(new Updater::SignalLogDevice);

    Updater::Log log(devices);
    log.setQDebugMessagesRedirected(false);
    // The text goes in as an argument, never as the format, so "%" stays "%".
    log.logError("%s", errorText.toUtf8().constData());
}

} // namespace Vondra
