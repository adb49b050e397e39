#pragma once

#include "Task.h"

#include <QList>

#include <memory>

namespace Updater {

class Target;
class Update;
class UpdateInstallerPrivate;

// Downloads, verifies and installs a set of updates into the target directory,
// all or nothing: on any failure, or after stop(), every file and the record
// are as they were before run().
class TAVUPDATER_EXPORT UpdateInstaller : public Task
{
    Q_OBJECT

public:
    explicit UpdateInstaller(Target* target, QObject* parent = nullptr);
    ~UpdateInstaller() override;

    // How long run() waits while another install holds the target directory's
    // lock: 60000 ms by default, or TAVUPDATER_LOCK_TIMEOUT_MS from the environment.
    int lockWaitTimeout() const;
    void setLockWaitTimeout(int msec);

    // The updates stay owned by their finder and must outlive run().
    void setUpdatesToInstall(const QList<Update*>& updates);

    // What an archive may unpack to when its index does not state it (an
    // index written before the size was recorded): 4 GiB by default,
    // TAVUPDATER_UNPACKED_SIZE_CAP in the environment. An archive is always
    // held to the size its index states.
    void setUnpackedSizeCap(qint64 bytes);
    qint64 unpackedSizeCap() const;

protected:
    void start() override;
    void abort() override;

private:
    friend class UpdateInstallerPrivate;
    std::unique_ptr<UpdateInstallerPrivate> d;
};

} // namespace Updater
