#include "Updater/Target.h"

#include "PackagesInfo_p.h"
#include "Updater/PackagesInfo.h"
#include "Updater/UpdateSourcesInfo.h"

namespace Updater {

class TargetPrivate
{
public:
    QString name;
    PackagesInfo packages;
    UpdateSourcesInfo sources;
};

Target::Target(const QString& name)
    : d(std::make_unique<TargetPrivate>())
{
    d->name = name;
    d->packages.d->sources = &d->sources;
}

Target::~Target() = default;

QString Target::name() const
{
    return d->name;
}

// The sources come from the record too. Sources added before and not yet
// saved stay, on top of the recorded ones.
void Target::setDirectory(const QString& dir)
{
    const bool pending = d->sources.isModified();
    const QList<UpdateSourceInfo> added = d->sources.updateSourceInfos();

    d->packages.setDirectory(dir);
    for (const UpdateSourceInfo& source : added)
        d->sources.removeUpdateSourceInfo(source.name);
    for (const UpdateSourceInfo& source : d->packages.d->record.sources)
        d->sources.addUpdateSourceInfo(source);
    if (pending) {
        for (const UpdateSourceInfo& source : added)
            d->sources.addUpdateSourceInfo(source);
    }
    d->sources.setModified(pending);
}

QString Target::directory() const
{
    return d->packages.directory();
}

PackagesInfo* Target::packagesInfo() const
{
    return &d->packages;
}

UpdateSourcesInfo* Target::updateSourcesInfo() const
{
    return &d->sources;
}

void Target::addUpdateSource(
    const QString& name, const QString& title, const QString& description, const QUrl& url, int priority)
{
    UpdateSourceInfo source;
    source.name = name;
    source.title = title;
    source.description = description;
    source.url = url;
    source.priority = priority;
    d->sources.addUpdateSourceInfo(source);
}

} // namespace Updater
