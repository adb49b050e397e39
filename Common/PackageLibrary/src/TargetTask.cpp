#include "TargetTask.h"

#include "InstallTransaction.h"
#include "Updater/PackagesInfo.h"
#include "Updater/Target.h"

#include <QDir>

namespace Updater {

TargetTask::TargetTask(Target* target, QObject* parent)
    : QObject(parent)
    , m_target(target)
{
    connect(&m_lock, &TargetLock::acquired, this, &TargetTask::onLocked);
    connect(&m_lock, &TargetLock::failed, this, [this](const QString& why) {
        m_waiting = false;
        emit failed(why);
    });
}

TargetTask::~TargetTask() = default;

int TargetTask::lockWaitTimeout() const
{
    return m_lock.waitTimeout();
}

void TargetTask::setLockWaitTimeout(int msec)
{
    m_lock.setWaitTimeout(msec);
}

void TargetTask::begin()
{
    m_waiting = true;
    m_lock.acquire(m_target->directory());
}

bool TargetTask::isWaiting() const
{
    return m_waiting;
}

void TargetTask::cancel()
{
    m_waiting = false;
    m_lock.cancel();
}

void TargetTask::release()
{
    m_waiting = false;
    m_lock.release();
}

void TargetTask::onLocked()
{
    m_waiting = false;
    QString why;
    bool foundLeftovers = false;
    const bool recovered = InstallTransaction::recover(QDir::cleanPath(m_target->directory()), &why, &foundLeftovers);
    if (foundLeftovers)
        m_target->packagesInfo()->reload(); // an older record may have been put back
    if (!recovered) {
        m_lock.release();
        emit failed(tr("cannot undo an install that was interrupted earlier: %1").arg(why));
        return;
    }
    emit ready();
}

} // namespace Updater
