#include "Updater/UpdateSourcesInfo.h"

#include "UpdateSourcesInfo_p.h"

namespace Updater {

bool UpdateSourceInfo::operator==(const UpdateSourceInfo& other) const
{
    return name == other.name && title == other.title && description == other.description && url == other.url
        && priority == other.priority;
}

UpdateSourcesInfo::UpdateSourcesInfo()
    : d(std::make_unique<UpdateSourcesInfoPrivate>())
{
}

UpdateSourcesInfo::~UpdateSourcesInfo() = default;

int UpdateSourcesInfo::updateSourceInfoCount() const
{
    return d->sources.size();
}

UpdateSourceInfo UpdateSourcesInfo::updateSourceInfo(int index) const
{
    return d->sources.value(index);
}

QList<UpdateSourceInfo> UpdateSourcesInfo::updateSourceInfos() const
{
    return d->sources;
}

void UpdateSourcesInfo::addUpdateSourceInfo(const UpdateSourceInfo& info)
{
    removeUpdateSourceInfo(info.name);
    auto it = d->sources.begin();
    while (it != d->sources.end() && it->priority <= info.priority)
        ++it;
    d->sources.insert(it, info);
    d->modified = true;
}

void UpdateSourcesInfo::removeUpdateSourceInfo(const QString& name)
{
    for (int i = 0; i < d->sources.size(); ++i) {
        if (d->sources.at(i).name == name) {
            d->sources.removeAt(i);
            d->modified = true;
            return;
        }
    }
}

bool UpdateSourcesInfo::isModified() const
{
    return d->modified;
}

void UpdateSourcesInfo::setModified(bool modified)
{
    d->modified = modified;
}

} // namespace Updater
