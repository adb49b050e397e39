#include "TargetLock.h"

#include "InstallLayout.h"
#include "Limits.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>

namespace Updater {

namespace {

constexpr int retryIntervalMsec = 100;
// A live install writes its process id into the lock right after making it.
constexpr qint64 unfinishedLockAgeMsec = 5000;

} // namespace

TargetLock::TargetLock(QObject* parent)
    : QObject(parent)
    , m_waitTimeout(Limits::lockWaitMsec())
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &TargetLock::tryOnce);
}

TargetLock::~TargetLock() = default;

void TargetLock::setWaitTimeout(int msec)
{
    m_waitTimeout = msec;
}

int TargetLock::waitTimeout() const
{
    return m_waitTimeout;
}

void TargetLock::acquire(const QString& directory)
{
    release();
    m_directory = QDir::cleanPath(directory);
    m_lock = std::make_unique<QLockFile>(m_directory + QLatin1Char('/') + InstallLayout::lockFileName());
    m_lock->setStaleLockTime(0); // a live install may take long; a dead one is noticed by its process id
    m_waited.start();
    m_retry.start(0);
}

void TargetLock::cancel()
{
    m_retry.stop();
    if (m_lock && !m_lock->isLocked())
        m_lock.reset();
}

void TargetLock::release()
{
    m_retry.stop();
    m_lock.reset();
}

void TargetLock::tryOnce()
{
    if (!QFileInfo(m_directory).isDir()) {
        m_lock.reset();
        emit failed(tr("the directory does not exist"));
        return;
    }
    if (m_lock->tryLock(0) || (isAbandoned() && m_lock->removeStaleLockFile() && m_lock->tryLock(0))) {
        emit acquired();
        return;
    }
    if (m_lock->error() != QLockFile::LockFailedError) {
        m_lock.reset();
        emit failed(tr("cannot write the file %1 there").arg(InstallLayout::lockFileName()));
        return;
    }
    const qint64 left = m_waitTimeout - m_waited.elapsed();
    if (left <= 0) {
        m_lock.reset();
        emit failed(tr("another install into it is running (waited %1 s for it)").arg(m_waitTimeout / 1000.0));
        return;
    }
    m_retry.start(int(qMin<qint64>(left, retryIntervalMsec)));
}

// A process killed between making the lock file and writing its id into it
// leaves a lock that names nobody; only its age tells that nobody is coming.
bool TargetLock::isAbandoned() const
{
    qint64 pid = 0;
    QString host;
    QString application;
    if (m_lock->error() != QLockFile::LockFailedError || m_lock->getLockInfo(&pid, &host, &application))
        return false;
    const QFileInfo file(m_directory + QLatin1Char('/') + InstallLayout::lockFileName());
    return file.lastModified().msecsTo(QDateTime::currentDateTime()) > unfinishedLockAgeMsec;
}

} // namespace Updater
