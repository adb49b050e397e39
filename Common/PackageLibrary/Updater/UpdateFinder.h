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
// newer than the one installed. Updates are ordered by package name.
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

    // The updates found by the last run; owned by the finder.
    QList<Update*> updates() const;

protected:
    void start() override;
    void abort() override;

private:
    std::unique_ptr<UpdateFinderPrivate> d;
};

} // namespace Updater
