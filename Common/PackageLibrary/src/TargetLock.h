#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class QLockFile;

namespace Updater {

// The install lock of a target directory, ".tavupdater.lock" (TargetTask takes
// it for the finder and the installer). While a live install holds it,
// acquire() keeps trying from the event loop (the GUI stays live) until the
// wait timeout is over; a lock whose process is gone is taken over.
class TargetLock : public QObject
{
    Q_OBJECT

public:
    explicit TargetLock(QObject* parent = nullptr);
    ~TargetLock() override;

    void setWaitTimeout(int msec);
    int waitTimeout() const;

    // Starts taking the lock of directory, which must exist. Emits acquired()
    // or failed() (with a reason that names no path), never from within this call.
    void acquire(const QString& directory);
    // Stops waiting; no signal follows.
    void cancel();
    void release();

signals:
    void acquired();
    void failed(const QString& why);

private:
    void tryOnce();
    bool isAbandoned() const;

    QString m_directory;
    std::unique_ptr<QLockFile> m_lock;
    QTimer m_retry;
    QElapsedTimer m_waited;
    int m_waitTimeout;
};

} // namespace Updater
