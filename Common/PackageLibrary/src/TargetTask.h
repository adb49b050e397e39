#pragma once

#include "TargetLock.h"

#include <QObject>
#include <QString>

namespace Updater {

class Target;

// The first step of every task that reads or changes a target directory:
// take its install lock, put back what a killed install left there, and
// reload the record when that put an older one back. What the task does next
// then sees exactly the old or the new version of every package, never a tree
// in mid-swap. The finder lets go of the lock at once; the installer holds it
// until its run ends.
class TargetTask : public QObject
{
    Q_OBJECT

public:
    explicit TargetTask(Target* target, QObject* parent = nullptr);
    ~TargetTask() override;

    // How long begin() waits while another install holds the lock: 60000 ms by
    // default, or TAVUPDATER_LOCK_TIMEOUT_MS from the environment.
    int lockWaitTimeout() const;
    void setLockWaitTimeout(int msec);

    // Starts on the target's directory, which must exist. Emits ready(), the
    // lock held, or failed() with a reason that names no path; never from
    // within this call.
    void begin();
    bool isWaiting() const;
    // Stops waiting for the lock; no signal follows.
    void cancel();
    void release();

signals:
    void ready();
    void failed(const QString& why);

private:
    void onLocked();

    Target* m_target;
    TargetLock m_lock;
    bool m_waiting = false;
};

} // namespace Updater
