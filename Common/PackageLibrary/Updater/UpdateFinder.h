#pragma once

#include "Task.h"

#include <QList>

#include <memory>

namespace Updater {

class Target;
class Update;
class UpdateFinderPrivate;

// Asks each update source of a target for its signed index and collects, per
// installed package, the newest version that applies to this platform and is
// newer than the one installed. Updates are ordered by package name. Before
// that, under the target directory's install lock, it puts back what a killed
// install left there, so what it offers is computed against exactly the old or
// the new version; when it cannot, it offers nothing.
class TAVUPDATER_EXPORT UpdateFinder : public Task
{
    Q_OBJECT

public:
    explicit UpdateFinder(Target* target, QObject* parent = nullptr);
    ~UpdateFinder() override;

    // "Windows", "Linux" or "MacOS" by default; index entries that name another
    // platform are left out.
    static QString defaultPlatformIdentifier();
    QString platformIdentifier() const;
    void setPlatformIdentifier(const QString& id);

    // Fetching one index may take at most msec, redirects included (30000 by
    // default, TAVUPDATER_INDEX_DEADLINE_MS), and its server must start to
    // answer within msec of each request (10000, TAVUPDATER_INDEX_HEADER_TIMEOUT_MS).
    void setIndexDeadline(int msec);
    int indexDeadline() const;
    void setIndexHeaderTimeout(int msec);
    int indexHeaderTimeout() const;

    // How long run() waits while another install holds the target directory's
    // lock: 60000 ms by default, or TAVUPDATER_LOCK_TIMEOUT_MS from the environment.
    int lockWaitTimeout() const;
    void setLockWaitTimeout(int msec);

    // The updates found by the last run; owned by the finder.
    QList<Update*> updates() const;

protected:
    void start() override;
    void abort() override;

private:
    friend class UpdateFinderPrivate;
    std::unique_ptr<UpdateFinderPrivate> d;
};

} // namespace Updater
