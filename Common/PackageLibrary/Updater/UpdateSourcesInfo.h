#pragma once

#include "TavUpdaterGlobal.h"

#include <QList>
#include <QString>
#include <QUrl>

#include <memory>

namespace Updater {

// Where a target looks for updates.
struct TAVUPDATER_EXPORT UpdateSourceInfo
{
    QString name;
    QString title;
    QString description;
    QUrl url;
    int priority = 0;

    bool operator==(const UpdateSourceInfo& other) const;
};

class UpdateSourcesInfoPrivate;

// The update sources of a target. Sources marked modified are written into the
// package record with its next save; a caller that adds a source for this run
// only clears the flag, and the record on disk keeps what it had.
class TAVUPDATER_EXPORT UpdateSourcesInfo
{
public:
    UpdateSourcesInfo();
    ~UpdateSourcesInfo();
    UpdateSourcesInfo(const UpdateSourcesInfo&) = delete;
    UpdateSourcesInfo& operator=(const UpdateSourcesInfo&) = delete;

    int updateSourceInfoCount() const;
    UpdateSourceInfo updateSourceInfo(int index) const;
    QList<UpdateSourceInfo> updateSourceInfos() const;
    // Adds a source, or replaces the one with the same name; sets modified.
    void addUpdateSourceInfo(const UpdateSourceInfo& info);
    void removeUpdateSourceInfo(const QString& name);

    bool isModified() const;
    void setModified(bool modified);

private:
    friend class Target;
    friend class PackagesInfo;
    std::unique_ptr<UpdateSourcesInfoPrivate> d;
};

} // namespace Updater
