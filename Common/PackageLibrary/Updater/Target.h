#pragma once

#include "TavUpdaterGlobal.h"

#include <QString>
#include <QUrl>

#include <memory>

namespace Updater {

class PackagesInfo;
class UpdateSourcesInfo;
class TargetPrivate;

// An installed program: its name, its directory and the record kept there.
class TAVUPDATER_EXPORT Target
{
public:
    explicit Target(const QString& name);
    virtual ~Target();
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    QString name() const;
    // Reads the record of dir (an empty one when it has none).
    void setDirectory(const QString& dir);
    QString directory() const;

    PackagesInfo* packagesInfo() const;
    UpdateSourcesInfo* updateSourcesInfo() const;

    // Adds a repository; url is the repository's own address (the index is read
    // from it). A lower priority number is asked first.
    void addUpdateSource(
        const QString& name, const QString& title, const QString& description, const QUrl& url, int priority);

private:
    std::unique_ptr<TargetPrivate> d;
};

} // namespace Updater
